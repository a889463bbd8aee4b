#include "ui/text_layout.h"

namespace tallyx::ui {
namespace {

bool IsBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

}  // namespace

std::vector<std::u16string> SplitLabelLines(std::u16string_view text) {
  std::vector<std::u16string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (!IsBreak(c)) {
      lines.back() += c;
      continue;
    }
    if (i + 1 < text.size() && IsBreak(text[i + 1]) && text[i + 1] != c) ++i;
    lines.emplace_back();
  }
  return lines;
}

std::vector<std::u16string> SplitCaptionLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  size_t start = 0;
  for (size_t cut; (cut = text.find(u"\r\n", start)) != std::u16string_view::npos; start = cut + 2)
    lines.emplace_back(text.substr(start, cut - start));
  lines.emplace_back(text.substr(start));
  return lines;
}

MnemonicLine ResolveMnemonics(std::u16string_view line) {
  MnemonicLine out;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != u'&') {
      out.text += line[i];
      continue;
    }
    if (++i == line.size()) break;
    if (line[i] != u'&') out.underlined.push_back(out.text.size());
    out.text += line[i];
  }
  return out;
}

std::vector<Row> WrapWords(std::u16string_view line, int maxWidth, const MeasureText& measure) {
  std::vector<Row> rows;
  size_t pos = 0;
  const size_t n = line.size();
  do {
    size_t end = line.find(u' ', pos);
    if (end == std::u16string_view::npos) end = n;
    // Extend the row word by word while it still fits.
    for (;;) {
      if (end == n) break;
      size_t next = line.find(u' ', end + 1);
      if (next == std::u16string_view::npos) next = n;
      if (measure(line.substr(pos, next - pos)) > maxWidth) break;
      end = next;
    }
    rows.push_back({pos, end - pos});
    pos = end;
    while (pos < n && line[pos] == u' ') ++pos;
  } while (pos < n);
  return rows;
}

ButtonContent LayoutButtonContent(int left, int top, int width, int height, int glyphWidth,
                                  int glyphHeight, int textWidth, int textHeight) {
  int gap = (width - glyphWidth - textWidth) / 3;
  ButtonContent c;
  c.glyphLeft = left + gap;
  c.textLeft = c.glyphLeft + glyphWidth + gap;
  c.glyphTop = top + (height - glyphHeight) / 2;
  c.textTop = top + (height - textHeight) / 2;
  return c;
}

}  // namespace tallyx::ui
