#include "base/win_path.h"

#include <algorithm>

#include "base/errors.h"

namespace tallyx {

bool HasInvalidPathChars(std::u16string_view path) {
  for (char16_t c : path) {
    if (c < 32 || c == u'"' || c == u'<' || c == u'>' || c == u'|') return true;
  }
  return false;
}

bool IsInvalidNameChar(char16_t c) {
  return c < 32 || std::u16string_view(u"\"<>|\\/:*?").find(c) != std::u16string_view::npos;
}

bool HasInvalidNameChars(std::u16string_view name) {
  return std::any_of(name.begin(), name.end(), IsInvalidNameChar);
}

std::u16string WithBackslashes(std::u16string_view name) {
  std::u16string result(name);
  std::replace(result.begin(), result.end(), u'/', u'\\');
  return result;
}

static void RaiseInvalidChars() { throw EArgumentException(u"Invalid characters in path"); }

std::u16string JoinPath(const std::u16string& path, const std::u16string& name) {
  if (path.empty()) return name;
  if (name.empty()) return path;
  const char16_t last = path.back();
  if (last == u'\\' || last == u'/' || last == u':') return path + name;
  return path + u'\\' + name;
}

std::u16string JoinEntryPath(const std::u16string& path, const std::u16string& name) {
  if (!path.empty() && !name.empty() && (HasInvalidPathChars(path) || HasInvalidPathChars(name))) {
    RaiseInvalidChars();
  }
  return JoinPath(path, name);
}

std::u16string ExtractFolderPart(const std::u16string& path) {
  const size_t i = path.find_last_of(u"\\:");
  if (i == std::u16string::npos) return {};
  if (i > 0 && path[i] == u'\\' && path[i - 1] != u'\\' && path[i - 1] != u':') {
    return path.substr(0, i);
  }
  return path.substr(0, i + 1);
}

std::u16string_view FilePart(std::u16string_view path) {
  const size_t i = path.find_last_of(u"\\:");
  return i == std::u16string_view::npos ? path : path.substr(i + 1);
}

static bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

void CheckPathText(const std::u16string& path, size_t maxLength) {
  if (path.size() >= maxLength) throw EPathTooLongException(u"The specified path is too long");
  const size_t start = path.size() >= 2 && path[1] == u':' && IsDriveLetter(path[0]) ? 2 : 0;
  if (path.find(u':', start) != std::u16string::npos) {
    throw ENotSupportedException(u"The path format is not supported");
  }
  if (path.find_first_not_of(u" \t\r\n\v\f") == std::u16string::npos) RaiseInvalidChars();
  if (HasInvalidPathChars(path)) RaiseInvalidChars();
}

bool IsEscapingEntryName(std::u16string_view name) {
  if (name.empty()) return false;
  if (name[0] == u'\\' || (name.size() >= 2 && name[1] == u':')) return true;
  // The system reads a path only up to a NUL: "..\0x" would reach it as "..".
  if (name.find(u'\0') != std::u16string_view::npos) return true;
  // Windows drops trailing dots and spaces from a segment, so "..." and ".. " climb
  // like "..".
  return AnySegment(name, [](std::u16string_view segment) {
    return segment.find_first_not_of(u". ") == std::u16string_view::npos &&
           segment.find(u"..") != std::u16string_view::npos;
  });
}

bool IsDeviceName(std::u16string_view segment) {
  // CONIN$ and CONOUT$ are the console's input and output, which CreateFileW opens by
  // those names as it opens CON.
  static constexpr std::u16string_view kDevices[] = {u"CON", u"PRN", u"AUX", u"NUL",
                                                      u"CONIN$", u"CONOUT$"};
  // The device is named by what stands before the first dot, blanks before it ignored.
  std::u16string base = PathKey(segment.substr(0, segment.find(u'.')));
  base.erase(base.find_last_not_of(u' ') + 1);
  if (std::find(std::begin(kDevices), std::end(kDevices), base) != std::end(kDevices)) return true;
  // COM and LPT take the digits 1-9, and the Latin-1 superscripts 1, 2 and 3 as well,
  // which the system counts as digits there.
  return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) &&
         ((base[3] >= u'1' && base[3] <= u'9') || base[3] == u'\u00B9' || base[3] == u'\u00B2' ||
          base[3] == u'\u00B3');
}

bool NamesDevice(std::u16string_view name) { return AnySegment(name, IsDeviceName); }

bool EndsWithDotOrBlank(std::u16string_view segment) {
  return !segment.empty() && (segment.back() == u'.' || segment.back() == u' ');
}

std::u16string PathKey(std::u16string_view path) {
  std::u16string key(path);
  for (char16_t& c : key) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return key;
}

}  // namespace tallyx
