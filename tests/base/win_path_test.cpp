// The Windows path rules of the extraction, as text.
#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/text.h"
#include "tests/zip/scratch.h"
#include "base/win_path.h"

namespace tallyx {
namespace {

using testing::ErrorOf;

TEST(WinPathTest, Join) {
  struct Case {
    const char16_t* path;
    const char16_t* name;
    const char* expected;
  } cases[] = {
      {u"C:\\dest", u"a.txt", "C:\\dest\\a.txt"},
      {u"C:\\dest\\", u"a.txt", "C:\\dest\\a.txt"},
      {u"C:\\dest/", u"a.txt", "C:\\dest/a.txt"},
      {u"C:", u"a.txt", "C:a.txt"},
      {u"", u"sub\\a.txt", "sub\\a.txt"},
      {u"C:\\dest", u"", "C:\\dest"},
      {u"C:\\dest", u"a|b.txt", "EArgumentException: Invalid characters in path"},
      {u"C:\\de<st", u"a", "EArgumentException: Invalid characters in path"},
      {u"C:\\dest", u"tab\there", "EArgumentException: Invalid characters in path"},
  };
  for (const Case& c : cases) {
    std::string result;
    const std::string error = ErrorOf([&] { result = EncodeUtf8(JoinEntryPath(c.path, c.name)); });
    EXPECT_EQ(error.empty() ? result : error, c.expected) << EncodeUtf8(c.name);
  }
}

TEST(WinPathTest, FolderPart) {
  struct Case {
    const char16_t* path;
    const char16_t* expected;
  } cases[] = {
      {u"C:\\dest\\sub\\a.txt", u"C:\\dest\\sub"}, {u"C:\\a.txt", u"C:\\"},
      {u"C:a.txt", u"C:"},                         {u"a.txt", u""},
      {u"\\a.txt", u"\\"},                         {u"C:\\dest\\docs\\", u"C:\\dest\\docs"},
      {u"\\\\server\\share\\x", u"\\\\server\\share"}, {u"a\\\\b", u"a\\\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeUtf8(ExtractFolderPart(c.path)), EncodeUtf8(c.expected)) << EncodeUtf8(c.path);
  }
}

TEST(WinPathTest, FilePart) {
  struct Case {
    const char16_t* path;
    const char16_t* expected;
  } cases[] = {
      {u"C:\\dest\\a.txt", u"a.txt"}, {u"D:tallyx.exe", u"tallyx.exe"}, {u"a.txt", u"a.txt"},
      {u"C:\\dest\\", u""},         {u"C:", u""},                     {u"", u""},
      {u"dest/a.txt", u"dest/a.txt"},  // a slash separates nothing here
      {u"a:b\\c:d", u"d"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeUtf8(FilePart(c.path)), EncodeUtf8(c.expected)) << EncodeUtf8(c.path);
  }
}

TEST(WinPathTest, PathChecks) {
  const std::u16string long247 = u"C:\\" + std::u16string(244, u'a');
  struct Case {
    std::u16string path;
    size_t limit;
    const char* expected;
  } cases[] = {
      {u"C:\\dest\\sub", kMaxFolderPath, ""},
      {long247, kMaxFolderPath, ""},
      {long247 + u"b", kMaxFolderPath, "EPathTooLongException: The specified path is too long"},
      {long247 + u"b", kMaxFilePath, ""},
      {u"C:\\" + std::u16string(257, u'a'), kMaxFilePath,
       "EPathTooLongException: The specified path is too long"},
      {u"C:\\dest\\a:b", kMaxFolderPath, "ENotSupportedException: The path format is not supported"},
      {u"1:\\dest", kMaxFolderPath, "ENotSupportedException: The path format is not supported"},
      {u"/tmp/dest", kMaxFolderPath, ""},
      {u"   ", kMaxFolderPath, "EArgumentException: Invalid characters in path"},
      {u"C:\\a>b", kMaxFilePath, "EArgumentException: Invalid characters in path"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf([&] { CheckPathText(c.path, c.limit); }), c.expected) << EncodeUtf8(c.path);
  }
}

TEST(WinPathTest, EscapingNames) {
  struct Case {
    const char16_t* name;
    bool escapes;
  } cases[] = {
      {u"a.txt", false},          {u"sub\\a.txt", false},     {u".\\a.txt", false},
      {u"a..b\\c", false},        {u"..a", false},            {u"docs\\", false},
      {u"", false},               {u"..\\evil", true},        {u"a\\..\\..\\evil", true},
      {u"a\\..", true},           {u"\\evil", true},          {u"\\\\?\\C:\\evil", true},
      {u"\\\\server\\share", true}, {u"C:evil", true},        {u"C:\\evil", true},
      {u"a\\...\\evil", true},    {u"a\\.. \\evil", true},
  };
  const std::u16string withNul(u"..\0x\\evil", 9);
  EXPECT_TRUE(IsEscapingEntryName(withNul));
  for (const Case& c : cases) {
    EXPECT_EQ(IsEscapingEntryName(c.name), c.escapes) << EncodeUtf8(c.name);
  }
}

TEST(WinPathTest, NameCharacters) {
  struct Case {
    std::u16string text;
    bool invalidInPath, invalidInName;
  } cases[] = {
      {u"caf\u00E9 cr\u00E8me.txt", false, false},
      {u"a b.c-d_e(1)[2]{3}~!@#$%^&'+,;=`", false, false},
      {u"\u00B9\u00B2\u00B3\u007F\uFEFF", false, false},
      {u"a\"b", true, true},
      {u"a<b", true, true},
      {u"a>b", true, true},
      {u"a|b", true, true},
      {u"a\tb", true, true},
      {u"a\x1F", true, true},
      {std::u16string(u"a\0b", 3), true, true},
      {u"a\\b", false, true},
      {u"a/b", false, true},
      {u"a:b", false, true},
      {u"a*b", false, true},
      {u"a?b", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasInvalidPathChars(c.text), c.invalidInPath) << EncodeUtf8(c.text);
    EXPECT_EQ(HasInvalidNameChars(c.text), c.invalidInName) << EncodeUtf8(c.text);
  }
  EXPECT_EQ(EncodeUtf8(WithBackslashes(u"a/b\\c//d")), "a\\b\\c\\\\d");
}

TEST(WinPathTest, TrailingDotsAndBlanks) {
  struct Case {
    const char16_t* name;
    bool trailing;
  } cases[] = {
      {u"a.txt", false}, {u".hidden", false}, {u" lead", false}, {u"", false},
      {u"a.", true},     {u"a ", true},       {u"a. .", true},   {u".", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EndsWithDotOrBlank(c.name), c.trailing) << EncodeUtf8(c.name);
  }
}

TEST(WinPathTest, DeviceNames) {
  struct Case {
    const char16_t* name;
    bool device;
  } cases[] = {
      {u"CON", true},             {u"con.txt", true},        {u"sub\\Nul", true},
      {u"aux\\readme.txt", true}, {u"PRN.tar.gz", true},     {u"com1", true},
      {u"LPT9.log", true},        {u"COM\u00B9", true},      {u"lpt\u00B3.txt", true},
      {u"CONIN$", true},          {u"conout$.x", true},      {u"NUL .txt", true},
      {u"a\\b\\CON ", true},     {u"com\u00B2.log", true},   {u"CONIN$.txt", true},
      {u"COM\u2074", false},     {u"CONIN", false},         {u"CON$", false},
      {u"CONSOLE", false},        {u"COM0", false},          {u"LPT10", false},
      {u"xcon.txt", false},       {u"con_1.txt", false},     {u".con", false},
      {u"COM", false},            {u"docs\\", false},        {u"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NamesDevice(c.name), c.device) << EncodeUtf8(c.name);
    // One segment alone is a device exactly when the name is.
    if (std::u16string_view(c.name).find(u'\\') == std::u16string_view::npos) {
      EXPECT_EQ(IsDeviceName(c.name), c.device) << EncodeUtf8(c.name);
    }
  }
}

}  // namespace
}  // namespace tallyx
