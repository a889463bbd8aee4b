#include "platform/one_instance_text.h"

#include <algorithm>

namespace tallyx {

std::u16string JoinParameterLines(const std::vector<std::u16string>& arguments) {
  std::u16string text;
  for (const std::u16string& argument : arguments) text += argument + u"\r\n";
  return text;
}

std::vector<std::u16string> SplitParameterLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find_first_of(u"\r\n", start), text.size());
    lines.emplace_back(text.substr(start, end - start));
    start = end;
    if (start < text.size() && text[start] == u'\r') ++start;
    if (start < text.size() && text[start] == u'\n') ++start;
  }
  return lines;
}

}  // namespace tallyx
