#pragma once
// Line breaking, mnemonics and word wrap shared by the labels and the glyph buttons, and
// the content arithmetic of the glyph buttons. Widths come from a measuring callback so
// the rules hold whatever the font.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyx::ui {

using MeasureText = std::function<int(std::u16string_view)>;

// Splits a label's text into lines. CR LF, LF CR, a lone CR and a lone LF each end one
// line: two different break characters in a row count as one break.
std::vector<std::u16string> SplitLabelLines(std::u16string_view text);

// Splits a button caption into lines at CR LF only.
std::vector<std::u16string> SplitCaptionLines(std::u16string_view text);

// A label line with its mnemonic ampersands resolved: "&" marks the next character
// (underlined), "&&" shows one "&", a final lone "&" shows nothing.
struct MnemonicLine {
  std::u16string text;
  std::vector<size_t> underlined;  // indices into text
};
MnemonicLine ResolveMnemonics(std::u16string_view line);

// One row of wrapped text: [start, start + length) of the line.
struct Row {
  size_t start;
  size_t length;
  bool operator==(const Row&) const = default;
};

// Breaks `line` into rows no wider than `maxWidth` at spaces; the spaces at a break are
// dropped; a word wider than `maxWidth` stays whole on its own row.
std::vector<Row> WrapWords(std::u16string_view line, int maxWidth, const MeasureText& measure);

// Where the glyph and the caption block of a glyph button go inside its content area.
struct ButtonContent {
  int glyphLeft;
  int glyphTop;
  int textLeft;
  int textTop;
  bool operator==(const ButtonContent&) const = default;
};
// Margin and spacing are both (W - G - T) div 3, truncated toward zero; both blocks are
// centred vertically.
ButtonContent LayoutButtonContent(int left, int top, int width, int height, int glyphWidth,
                                  int glyphHeight, int textWidth, int textHeight);

}  // namespace tallyx::ui
