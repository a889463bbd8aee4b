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

bool IsContainedPath(std::u16string_view relative) {
  return !relative.empty() && !IsEscapingEntryName(relative) && !HasInvalidPathChars(relative) &&
         relative.find_first_of(u":/") == std::u16string_view::npos && !NamesDevice(relative);
}

bool EndsWithDotOrBlank(std::u16string_view segment) {
  return !segment.empty() && (segment.back() == u'.' || segment.back() == u' ');
}

namespace {

// Every `step`-th code unit from `first` to `last` has its capital `delta` away.
struct UpcaseRun {
  char16_t first;
  char16_t last;
  int step;
  int delta;
};

constexpr UpcaseRun kUpcaseRuns[] = {
#include "base/upcase_table.inc"
};

bool IsUpperHexDigits(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
  });
}

}  // namespace

char16_t UpcaseNameChar(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
  const UpcaseRun* run =
      std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), c,
                       [](char16_t unit, const UpcaseRun& r) { return unit < r.first; });
  if (run == std::begin(kUpcaseRuns)) return c;
  --run;
  if (c > run->last || (c - run->first) % run->step != 0) return c;
  return static_cast<char16_t>(c + run->delta);
}

std::u16string PathKey(std::u16string_view path) {
  std::u16string key(path);
  for (char16_t& c : key) c = UpcaseNameChar(c);
  return key;
}

bool IsTransactionName(std::u16string_view segment) {
  // "name:stream" writes into the file "name"; "name." and "name " open "name".
  segment = segment.substr(0, segment.find(u':'));
  segment = segment.substr(0, segment.find_last_not_of(u". ") + 1);
  const std::u16string key = PathKey(segment);
  const std::u16string_view name(key);
  static constexpr std::u16string_view kMarker = u".~TX";
  // The marker and 8 hex digits, then `extension`, from `at` to the end of the name.
  const auto numbered = [&](size_t at, std::u16string_view extension) {
    return name.size() == at + kMarker.size() + 8 + extension.size() &&
           name.substr(at).starts_with(kMarker) &&
           IsUpperHexDigits(name.substr(at + kMarker.size(), 8)) && name.ends_with(extension);
  };
  static constexpr std::u16string_view kProbe = u".~TXPROBE";
  static constexpr std::u16string_view kTmp = u".TMP";
  static constexpr std::u16string_view kBak = u".BAK";
  return name == u".~TX.JOURNAL" || numbered(0, kTmp) ||
         (name.size() >= 16 && numbered(name.size() - 16, kBak)) ||
         (name.size() >= kProbe.size() + kTmp.size() && name.starts_with(kProbe) &&
          name.ends_with(kTmp));
}

bool NamesTransactionFile(std::u16string_view name) { return AnySegment(name, IsTransactionName); }

}  // namespace tallyx
