#include "controller/manifest.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/text.h"

namespace tallyx {
namespace {

using Lines = std::vector<std::u16string>;

struct SplitCase {
  const char* name;
  std::u16string text;
  Lines lines;
};

const SplitCase kSplitCases[] = {
    {"empty text", u"", {}},
    {"one line without break", u"A", {u"A"}},
    {"CR LF", u"A\r\nB", {u"A", u"B"}},
    {"lone CR", u"A\rB", {u"A", u"B"}},
    {"lone LF", u"A\nB", {u"A", u"B"}},
    {"LF CR ends two lines", u"A\n\rB", {u"A", u"", u"B"}},
    {"CR CR ends two lines", u"A\r\rB", {u"A", u"", u"B"}},
    {"LF LF ends two lines", u"A\n\nB", {u"A", u"", u"B"}},
    {"CR LF CR LF", u"A\r\n\r\nB", {u"A", u"", u"B"}},
    {"final CR LF adds no line", u"A\r\nB\r\n", {u"A", u"B"}},
    {"final LF CR adds one empty line", u"A\n\r", {u"A", u""}},
    {"break alone", u"\r\n", {u""}},
    {"leading break", u"\nA", {u"", u"A"}},
    {"blanks kept", u"  A \t\r\n\r\n B ", {u"  A \t", u"", u" B "}},
    {"duplicates kept", u"x\nx\nx", {u"x", u"x", u"x"}},
    {"NUL ends the text", std::u16string(u"A\r\nB\0C\r\nD", 9), {u"A", u"B"}},
    {"NUL first", std::u16string(u"\0A", 2), {}},
    {"NUL right after a break", std::u16string(u"A\r\n\0B", 5), {u"A"}},
    {"BOM stays on line 0", u"\uFEFF4.2.7.1530\r\n05/03/2021", {u"\uFEFF4.2.7.1530", u"05/03/2021"}},
};

TEST(SplitLines, BreaksAndNul) {
  for (const auto& c : kSplitCases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.name;
}

TEST(JoinLines, EachLineFollowedByCrLf) {
  const struct {
    Lines lines;
    std::u16string text;
  } cases[] = {
      {{}, u""},
      {{u""}, u"\r\n"},
      {{u"A", u"B"}, u"A\r\nB\r\n"},
      {{u"A", u"", u"B"}, u"A\r\n\r\nB\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(JoinLines(c.lines), c.text) << EncodeUtf8(c.text);
}

TEST(JoinLines, RoundTripsEverySplit) {
  for (const auto& c : kSplitCases) EXPECT_EQ(SplitLines(JoinLines(c.lines)), c.lines) << c.name;
}

struct BuildCase {
  std::u16string version;
  int32_t build;
};

const BuildCase kBuilds[] = {
    {u"4.2.7.1530", 1530},
    {u"1530", 1530},
    {u"0", 0},
    {u"1.0.0.$1F", 31},
    {u"4.2.7. 1530", 1530},
    {u"4.2.7.   1530", 1530},
    {u"\uFEFF4.2.7.1530", 1530},
    {u"x1F", 31},
    {u"X1f", 31},
    {u"0x1F", 31},
    {u"0X10", 16},
    {u"$ff", 255},
    {u"+17", 17},
    {u"-17", -17},
    {u"-$1", -1},
    {u"+0x10", 16},
    {u"$FFFFFFFF", -1},
    {u"$80000000", INT32_MIN},
    {u"$7FFFFFFF", INT32_MAX},
    {u"-$80000000", INT32_MIN},
    {u"-$FFFFFFFF", 1},
    {u"$000000000FFFFFFFF", -1},
    {u"0x00000012345678", 0x12345678},
    {u"2147483647", INT32_MAX},
    {u"-2147483648", INT32_MIN},
    {u"0002147483647", INT32_MAX},
    {u"-0", 0},
    {u"xBADC0DE", 0xBADC0DE},
    {std::u16string(u"1.2.15\0xyz", 10), 15},
    {std::u16string(u"1.2\0.3", 6), 3},
};

TEST(BuildNumberOf, Converts) {
  for (const auto& c : kBuilds) {
    try {
      EXPECT_EQ(BuildNumberOf(c.version), c.build) << EncodeUtf8(c.version);
    } catch (const Exception& e) {
      ADD_FAILURE() << EncodeUtf8(c.version) << ": " << e.what();
    }
  }
}

struct BadBuildCase {
  std::u16string version;
  std::u16string buildText;  // as the message names it
};

const BadBuildCase kBadBuilds[] = {
    {u"", u""},
    {u"4.2.7.", u""},
    {u"4.2.7.1530 ", u"1530 "},
    {u"4.2.7.\t1530", u"\t1530"},
    {u"4.2.7.2147483648", u"2147483648"},
    {u"-2147483649", u"-2147483649"},
    {u"21474836470", u"21474836470"},
    {u"18446744073709551621", u"18446744073709551621"},
    {u"-99999999999999999999999", u"-99999999999999999999999"},
    {u"$100000000", u"$100000000"},
    {u"$1FFFFFFFF", u"$1FFFFFFFF"},
    {u"0x", u"0x"},
    {u"$", u"$"},
    {u"x", u"x"},
    {u"-", u"-"},
    {u"+", u"+"},
    {u" ", u" "},
    {u"+-1", u"+-1"},
    {u"--1", u"--1"},
    {u"- 1", u"- 1"},
    {u"$-1", u"$-1"},
    {u"00x1", u"00x1"},
    {u"12a", u"12a"},
    {u"x1G", u"x1G"},
    {u"version", u"version"},
    {u"1,5", u"1,5"},
    {u"\u0661\u0662", u"\u0661\u0662"},
    {u"\uFEFF1530", u"\uFEFF1530"},
    {std::u16string(u"4.\0" "12", 5), std::u16string(u"\0" "12", 3)},
};

TEST(BuildNumberOf, FailsWithTheBuildTextInTheMessage) {
  for (const auto& c : kBadBuilds) {
    try {
      const int32_t build = BuildNumberOf(c.version);
      ADD_FAILURE() << EncodeUtf8(c.version) << ": converted to " << build;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(),
                u"'" + c.buildText + u"' is not a valid integer value for Integer type")
          << EncodeUtf8(c.version);
    }
  }
}

TEST(IsNewer, SignedComparisonOfBuildsOnly) {
  const struct {
    std::u16string remote, local;
    bool newer;
  } cases[] = {
      {u"4.2.7.1530", u"4.2.7.1529", true},  {u"4.2.7.1530", u"4.2.7.1530", false},
      {u"5.0.0.100", u"4.2.7.1530", false},  {u"4.2.8.1530", u"4.2.7.1530", false},
      {u"1.0.0.1", u"0", true},              {u"1.0.0.0", u"0", false},
      {u"1.0.0.$FFFFFFFF", u"0", false},     {u"1.0.0.$7FFFFFFF", u"1.0.0.$80000000", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNewer(BuildNumberOf(c.remote), BuildNumberOf(c.local)), c.newer)
        << EncodeUtf8(c.remote) << " over " << EncodeUtf8(c.local);
  }
}

TEST(IsUsableInFileName, RejectsSeparatorsReservedAndControlCharacters) {
  const struct {
    std::u16string version;
    bool usable;
  } cases[] = {
      {u"4.2.7.1530", true},
      {u"\uFEFF4.2.7.1530", true},
      {u"4.2.7 beta.1530", true},
      {u"..", true},
      {u"x\\..\\..\\Users\\Public\\evil.1530", false},
      {u"../evil.1530", false},
      {u"C:evil.1530", false},
      {u"4.2*.1530", false},
      {u"4.2?.1530", false},
      {u"4.2\".1530", false},
      {u"4<2.1530", false},
      {u"4>2.1530", false},
      {u"4|2.1530", false},
      {u"4.2\t.1530", false},
      {u"4.2\x1F.1530", false},
      {u"4.2\x7F.1530", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsUsableInFileName(c.version), c.usable) << EncodeUtf8(c.version);
}

}  // namespace
}  // namespace tallyx
