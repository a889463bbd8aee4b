#include "ui/text_layout.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace tallyx::ui {
namespace {

std::u16string Join(const std::vector<std::u16string>& lines) {
  std::u16string out;
  for (const auto& l : lines) out += u"[" + l + u"]";
  return out;
}

TEST(LabelLines, EachBreakKindStartsOneLine) {
  struct Case {
    const char* text;
    const char* lines;
  } cases[] = {
      {"", "[]"},
      {"one", "[one]"},
      {"a\r\nb", "[a][b]"},
      {"a\n\rb", "[a][b]"},
      {"a\rb", "[a][b]"},
      {"a\nb", "[a][b]"},
      {"a\r\rb", "[a][][b]"},
      {"a\n\nb", "[a][][b]"},
      {"a\r\n\r\nb", "[a][][b]"},
      {"a\r\n\rb", "[a][][b]"},
      {"end\r\n", "[end][]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Join(SplitLabelLines(U16(c.text))), U16(c.lines)) << c.text;
}

TEST(CaptionLines, OnlyCrLfBreaks) {
  struct Case {
    const char* text;
    const char* lines;
  } cases[] = {
      {"Quitter", "[Quitter]"},
      {"Oui\r\nTélecharger et installer", "[Oui][Télecharger et installer]"},
      {"a\nb\rc", "[a\nb\rc]"},
      {"a\r\n", "[a][]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Join(SplitCaptionLines(U16(c.text))), U16(c.lines)) << c.text;
}

TEST(Mnemonics, AmpersandMarksTheNextCharacter) {
  struct Case {
    const char* line;
    const char* text;
    std::vector<size_t> underlined;
  } cases[] = {
      {"plain", "plain", {}},
      {"&Oui", "Oui", {0}},
      {"R&D", "RD", {1}},
      {"R&&D", "R&D", {}},
      {"a&&&b", "a&b", {2}},
      {"end&", "end", {}},
      {"&a &b", "a b", {0, 2}},
  };
  for (const Case& c : cases) {
    MnemonicLine m = ResolveMnemonics(U16(c.line));
    EXPECT_EQ(m.text, U16(c.text)) << c.line;
    EXPECT_EQ(m.underlined, c.underlined) << c.line;
  }
}

TEST(WordWrap, BreaksAtSpacesWithinTheWidth) {
  // Every character is 10 pixels wide.
  MeasureText measure = [](std::u16string_view s) { return int(s.size()) * 10; };
  struct Case {
    const char* line;
    int width;
    std::vector<Row> rows;
  } cases[] = {
      {"", 100, {{0, 0}}},
      {"short", 100, {{0, 5}}},
      {"aaaa bbbb cccc", 90, {{0, 9}, {10, 4}}},
      {"aaaa bbbb cccc", 89, {{0, 4}, {5, 4}, {10, 4}}},
      {"averyveryverylongword next", 50, {{0, 21}, {22, 4}}},
      {"a  b", 10, {{0, 1}, {3, 1}}},
      {"fits exactly", 120, {{0, 12}}},
  };
  for (const Case& c : cases) EXPECT_EQ(WrapWords(U16(c.line), c.width, measure), c.rows) << c.line;
}

TEST(ButtonContent, MarginAndSpacingShareTheSpace) {
  struct Case {
    const char* name;
    int width, height, textWidth, textHeight;
    ButtonContent at;
  } cases[] = {
      {"cxButton1 content", 190, 50, 131, 36, {9, 9, 50, 7}},
      {"even split", 155, 50, 30, 18, {31, 9, 94, 16}},
      {"caption wider than room", 100, 50, 80, 18, {-4, 9, 24, 16}},
      {"odd heights", 155, 51, 30, 19, {31, 9, 94, 16}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LayoutButtonContent(2, 2, c.width, c.height, 32, 32, c.textWidth, c.textHeight),
              (ButtonContent{c.at.glyphLeft + 2, c.at.glyphTop + 2, c.at.textLeft + 2, c.at.textTop + 2}))
        << c.name;
}

}  // namespace
}  // namespace tallyx::ui
