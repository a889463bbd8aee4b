#include "ui/history_text.h"

namespace tallyx::ui {

std::u16string NormalizeHistoryText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
      out += u"\r\n";
      ++i;
    } else if (c == u'\r' || c == u'\n') {
      out += u"\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::u16string DeleteHistoryLine(std::u16string_view text, int index) {
  if (index < 0) return std::u16string(text);
  size_t start = 0;
  for (int i = 0; i < index; ++i) {
    size_t cut = text.find(u"\r\n", start);
    if (cut == std::u16string_view::npos) return std::u16string(text);
    start = cut + 2;
  }
  size_t cut = text.find(u"\r\n", start);
  size_t end = cut == std::u16string_view::npos ? text.size() : cut + 2;
  std::u16string out(text.substr(0, start));
  out.append(text.substr(end));
  return out;
}

}  // namespace tallyx::ui
