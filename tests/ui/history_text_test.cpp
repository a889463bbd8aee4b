#include "ui/history_text.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace tallyx::ui {
namespace {

TEST(HistoryText, SettingNormalisesBreaks) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"a\r\nb", "a\r\nb"},
      {"a\nb", "a\r\nb"},
      {"a\rb", "a\r\nb"},
      {"a\n\rb", "a\r\n\r\nb"},
      {"a\r\r\nb\n", "a\r\n\r\nb\r\n"},
      {"\n", "\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizeHistoryText(U16(c.in)), U16(c.out)) << c.in;
}

TEST(HistoryText, DeleteLineWithItsBreak) {
  struct Case {
    const char* in;
    int index;
    const char* out;
  } cases[] = {
      {"l0\r\nl1\r\nl2\r\n", 0, "l1\r\nl2\r\n"},
      {"l0\r\nl1\r\nl2\r\n", 1, "l0\r\nl2\r\n"},
      {"l0\r\nl1\r\nl2", 2, "l0\r\nl1\r\n"},  // the last line loses only its characters
      {"l0\r\nl1\r\n", 2, "l0\r\nl1\r\n"},    // the empty last line
      {"l0\r\nl1", 5, "l0\r\nl1"},
      {"l0\r\nl1", -1, "l0\r\nl1"},
      {"", 0, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DeleteHistoryLine(U16(c.in), c.index), U16(c.out)) << c.in << " " << c.index;
}

TEST(HistoryText, ManifestHeaderRemovedWhole) {
  std::u16string text = NormalizeHistoryText(
      u"4.2.7.1530\r\n05/03/2021\r\nhttp://example.invalid/a/very/long/path/Tallyx_4.2.7.1530.zip"
      u"\r\n- first change\r\n- second change\r\n");
  for (int index : {2, 1, 0}) text = DeleteHistoryLine(text, index);
  EXPECT_EQ(text, u"- first change\r\n- second change\r\n");
}

}  // namespace
}  // namespace tallyx::ui
