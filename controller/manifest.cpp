#include "controller/manifest.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/errors.h"
#include "base/win_path.h"

namespace tallyx {

namespace {

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

std::optional<int32_t> ToInteger(std::u16string_view s) {
  s = s.substr(0, s.find(u'\0'));
  size_t i = 0;
  while (i < s.size() && s[i] == u' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    negative = s[i] == u'-';
    ++i;
  }
  bool hex = false;
  if (i < s.size() && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i == s.size()) return std::nullopt;

  if (hex) {
    uint32_t value = 0;
    for (; i < s.size(); ++i) {
      const int digit = HexDigitValue(s[i]);
      if (digit < 0 || value > 0x0FFFFFFFu) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    // The bit pattern stands as it is: $FFFFFFFF is -1, and "-" negates the pattern.
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
  }

  int64_t value = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < u'0' || s[i] > u'9' || value > 214748364) return std::nullopt;
    value = value * 10 + (s[i] - u'0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t BuildNumberOf(std::u16string_view versionText) {
  const size_t dot = versionText.rfind(u'.');
  const std::u16string_view build =
      dot == std::u16string_view::npos ? versionText : versionText.substr(dot + 1);
  if (const auto number = ToInteger(build)) return *number;
  throw EConvertError(u"'" + std::u16string(build) +
                      u"' is not a valid integer value for Integer type");
}

std::u16string ReleaseArchiveName(std::u16string_view remoteVersion) {
  return std::u16string(kReleaseArchivePrefix) + std::u16string(remoteVersion) +
         std::u16string(kReleaseArchiveSuffix);
}

bool IsUsableInFileName(std::u16string_view remoteVersion) {
  return !HasInvalidNameChars(remoteVersion);
}

}  // namespace tallyx
