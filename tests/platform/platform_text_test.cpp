#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/exe_version.h"
#include "platform/processes.h"
#include "platform/progress_text.h"

namespace tallyx {
namespace {

struct MegabyteCase {
  uint32_t bytes;
  const char* comma;
  const char* point;
};

const MegabyteCase kMegabyteCases[] = {
    {0, "0,00", "0.00"},
    {1, "0,00", "0.00"},
    {5242, "0,00", "0.00"},  // 0.004999...
    {5243, "0,01", "0.01"},  // 0.0050001...
    {131071, "0,12", "0.12"},
    {131072, "0,13", "0.13"},  // exactly 0.125: halves round up
    {393216, "0,38", "0.38"},  // exactly 0.375
    {1048575, "1,00", "1.00"},
    {1048576, "1,00", "1.00"},
    {3407872, "3,25", "3.25"},
    {1073741824, "1024,00", "1024.00"},  // no digit grouping
    {4294967295u, "4096,00", "4096.00"},
};

TEST(ProgressText, MegabytesWithTwoDecimalsRoundedHalfUp) {
  for (const MegabyteCase& c : kMegabyteCases) {
    EXPECT_EQ(EncodeUtf8(FormatMegabytes(c.bytes, u",")), c.comma) << c.bytes;
    EXPECT_EQ(EncodeUtf8(FormatMegabytes(c.bytes, u".")), c.point) << c.bytes;
  }
}

TEST(ProgressText, CaptionNamesReceivedThenExpected) {
  struct Case {
    uint32_t received, expected;
    const char16_t* separator;
    const char* caption;
  } const cases[] = {
      {5242880, 10485760, u",", "Vantrel Tallyx Updater : 5,00 Mo/10,00 Mo"},
      {5242880, 10485760, u".", "Vantrel Tallyx Updater : 5.00 Mo/10.00 Mo"},
      {0, 0, u",", "Vantrel Tallyx Updater : 0,00 Mo/0,00 Mo"},
      {3407872, 0, u",", "Vantrel Tallyx Updater : 3,25 Mo/0,00 Mo"},
      {131072, 131071, u",", "Vantrel Tallyx Updater : 0,13 Mo/0,12 Mo"},
      {1048576, 1048576, u"::", "Vantrel Tallyx Updater : 1::00 Mo/1::00 Mo"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EncodeUtf8(ProgressCaption(c.received, c.expected, c.separator)), c.caption)
        << c.caption;
}

TEST(ImageName, MatchesFilePartIgnoringAsciiCaseOnly) {
  struct Case {
    const char* name;
    const char* exe;
    bool matches;
  } const cases[] = {
      {"tallyx.exe", "tallyx.exe", true},
      {"tallyx.exe", "TALLYX.EXE", true},
      {"Tallyx.exe", "tallyx.exe", true},
      {"tallyx.exe", "C:\\Programs\\Tallyx.exe", true},
      {"tallyx.exe", "D:tallyx.exe", true},
      {"tallyx.exe", "\\\\server\\share\\TALLYX.exe", true},
      {"tallyx.exe", "tallyx", false},
      {"tallyx.exe", "tallyx.exe.old", false},
      {"tallyx.exe", "C:/Programs/tallyx.exe", false},
      {"tallyx.exe", "tallyx.exe ", false},
      {"tallyx.exe", " tallyx.exe", false},
      {"tallyx.exe", "C:\\Programs\\", false},
      {"tallyx.exe", "", false},
      {"", "C:\\Programs\\", true},  // empty file part against an empty name
      {"r\xC3\xA9sum\xC3\xA9.exe", "R\xC3\xA9SUM\xC3\xA9.EXE", true},
      {"r\xC3\xA9sum\xC3\xA9.exe", "R\xC3\x89SUM\xC3\x89.EXE", false},  // é vs É
      {"\xC3\xA9.exe", "\xC3\x89.exe", false},
      {"C:\\Programs\\Tallyx.exe", "c:\\programs\\TALLYX.EXE", true},
      {"C:\\Programs\\Tallyx.exe", "Tallyx.exe", false},
      {"C:\\Programs\\Tallyx.exe", "D:\\Programs\\Tallyx.exe", false},
      {"a@.exe", "A`.exe", false},  // '@' and '`' sit next to the letters, not in them
      {"{.exe", "[.EXE", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ImageNameMatches(U16(c.name), U16(c.exe)), c.matches)
        << c.name << " vs " << c.exe;
}

TEST(VersionKey, FourUpperCaseHexDigitsEach) {
  struct Case {
    uint16_t language, codePage;
    const char* key;
  } const cases[] = {
      {0x0409, 0x04B0, "040904B0"}, {0x040C, 0x04E4, "040C04E4"}, {0x0000, 0x0000, "00000000"},
      {0xFFFF, 0xABCD, "FFFFABCD"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EncodeUtf8(TranslationKey(c.language, c.codePage)), c.key) << c.key;
}

}  // namespace
}  // namespace tallyx
