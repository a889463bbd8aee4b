#include "base/lines.h"

#include <algorithm>

namespace tallyx {

std::vector<std::u16string> SplitLines(std::u16string_view text) {
  text = text.substr(0, text.find(u'\0'));
  std::vector<std::u16string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find_first_of(u"\r\n", pos), text.size());
    lines.emplace_back(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == u'\r') ++pos;
    if (pos < text.size() && text[pos] == u'\n') ++pos;
  }
  return lines;
}

std::u16string JoinLines(const std::vector<std::u16string>& lines) {
  std::u16string text;
  for (const auto& line : lines) {
    text += line;
    text += u"\r\n";
  }
  return text;
}

}  // namespace tallyx
