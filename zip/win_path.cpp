#include "zip/win_path.h"

#include "base/errors.h"

namespace tallyx {

bool HasInvalidPathChars(std::u16string_view path) {
  for (char16_t c : path) {
    if (c < 32 || c == u'"' || c == u'<' || c == u'>' || c == u'|') return true;
  }
  return false;
}

namespace {

// Whether `test` holds for any of the backslash-separated segments of `name`.
template <typename Test>
bool AnySegment(std::u16string_view name, Test test) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == std::u16string_view::npos) end = name.size();
    if (test(name.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

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

bool NamesDevice(std::u16string_view name) {
  static constexpr std::u16string_view kDevices[] = {u"CON", u"PRN", u"AUX", u"NUL",
                                                      u"CONIN$", u"CONOUT$"};
  return AnySegment(name, [](std::u16string_view segment) {
    // The device is named by what stands before the first dot, blanks before it ignored.
    std::u16string base = PathKey(segment);
    base = base.substr(0, base.find(u'.'));
    base.erase(base.find_last_not_of(u' ') + 1);
    for (std::u16string_view device : kDevices) {
      if (base == device) return true;
    }
    // COM and LPT take the digits 1-9, and the superscripts 1, 2 and 3 as well.
    return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) &&
           ((base[3] >= u'1' && base[3] <= u'9') || base[3] == u'\u00B9' || base[3] == u'\u00B2' ||
            base[3] == u'\u00B3');
  });
}

std::u16string PathKey(std::u16string_view path) {
  std::u16string key(path);
  for (char16_t& c : key) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return key;
}

}  // namespace tallyx
