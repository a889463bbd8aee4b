#include "platform/processes.h"

#include <algorithm>

#include "base/win_path.h"

namespace tallyx {
namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool EqualAsciiUpper(std::u16string_view a, std::u16string_view b) {
  return std::ranges::equal(a, b, {}, AsciiUpper, AsciiUpper);
}

}  // namespace

bool ImageNameMatches(std::u16string_view name, std::u16string_view exe) {
  return EqualAsciiUpper(FilePart(exe), name) || EqualAsciiUpper(exe, name);
}

}  // namespace tallyx
