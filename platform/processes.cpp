#include "platform/processes.h"

#include <algorithm>

namespace tallyx {
namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool EqualAsciiUpper(std::u16string_view a, std::u16string_view b) {
  return std::ranges::equal(a, b, {}, AsciiUpper, AsciiUpper);
}

std::u16string_view FilePart(std::u16string_view path) {
  const size_t separator = path.find_last_of(u"\\:");
  return separator == std::u16string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace

bool ImageNameMatches(std::u16string_view name, std::u16string_view exe) {
  return EqualAsciiUpper(FilePart(exe), name) || EqualAsciiUpper(exe, name);
}

}  // namespace tallyx
