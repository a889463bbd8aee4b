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

TEST(WinPathTest, NamesCompareAsNtfsCompares) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    bool same;
  } cases[] = {
      {u"readme.TXT", u"README.txt", true},
      {u"\u00E9t\u00E9.txt", u"\u00C9T\u00C9.TXT", true},  // été, ÉTÉ
      {u"\u00E4\u00F6\u00FC", u"\u00C4\u00D6\u00DC", true},  // äöü
      {u"\u00E0\u00FE\u00F8", u"\u00C0\u00DE\u00D8", true},  // àþø
      {u"\u00FF", u"\u0178", true},                        // ÿ Ÿ
      {u"\u0101\u0142\u0151\u017E", u"\u0100\u0141\u0150\u017D", true},  // āłőž
      {u"\u01C6", u"\u01C4", true},                        // ǆ Ǆ
      {u"\u03B1\u03C3", u"\u0391\u03A3", true},            // ασ ΑΣ
      {u"\u03C2", u"\u03A3", true},                        // final sigma and Σ
      {u"\u03C2", u"\u03C3", true},                        // and σ
      {u"\u03AC\u03CE", u"\u0386\u038F", true},            // ά ώ with tonos
      {u"\u1F80", u"\u1F88", true},                        // ᾀ ᾈ
      {u"\u1FC3", u"\u1FCC", true},                        // ῃ ῌ
      {u"\u0436\u0451\u0457", u"\u0416\u0401\u0407", true},  // жёї ЖЁЇ
      {u"\u0561", u"\u0531", true},                        // Armenian ayb
      {u"\u2170", u"\u2160", true},                        // small and capital roman one
      {u"\u24D0", u"\u24B6", true},                        // circled a
      {u"\uFF41", u"\uFF21", true},                        // fullwidth a A
      {u"e", u"\u00E9", false},                            // no accent is dropped
      {u"\u00DF", u"SS", false},                           // ß has no one-letter capital
      {u"\u00DF", u"\u1E9E", false},                       // nor is ẞ its capital
      {u"\u0131", u"I", false},                            // dotless ı
      {u"\u0131", u"i", false},
      {u"\u0130", u"I", false},                            // İ
      {u"\u0130", u"i", false},
      {u"\u017F", u"S", false},                            // long s
      {u"\u00B5", u"\u039C", false},                       // micro sign, Greek capital mu
      {u"\u00B5", u"\u03BC", false},                       // and small mu
      {u"\u01C5", u"\u01C4", false},                       // title-case Dž
      {u"\u03D0", u"\u0392", false},                       // beta symbol
      {u"k", u"\u212A", false},                            // Kelvin sign
      {u"a", u"\uFF41", false},                            // ASCII and fullwidth
      {u"A", u"\uFF21", false},
      {u"\u2C65", u"\u023A", false},                       // ⱥ Ⱥ: later than Unicode 3.2
      {u"\u10D0", u"\u1C90", false},                       // Georgian Mkhedruli, Mtavruli
      {u"\U00010428", u"\U00010400", false},               // Deseret: surrogates stay
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathKey(c.a) == PathKey(c.b), c.same) << EncodeUtf8(c.a) << " " << EncodeUtf8(c.b);
  }
}

TEST(WinPathTest, EveryCodeUnitHasOneCapital) {
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const char16_t c = static_cast<char16_t>(unit);
    const char16_t upper = UpcaseNameChar(c);
    // A capital stays as it is: keys compare equal exactly when the names are one file.
    EXPECT_EQ(UpcaseNameChar(upper), upper) << std::hex << unit;
    // Nothing beyond ASCII becomes ASCII, so device and reserved names stay what they are.
    if (c >= 0x80) {
      EXPECT_GE(upper, 0x80u) << std::hex << unit;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      EXPECT_EQ(upper, c) << std::hex << unit;
    }
  }
}

TEST(WinPathTest, TransactionNames) {
  struct Case {
    const char16_t* name;
    bool reserved;
  } cases[] = {
      {u".~tx.journal", true},
      {u".~TX.JOURNAL", true},
      {u".~Tx.Journal", true},
      {u".~tx.journal.", true},  // trailing dots and blanks are dropped when it is opened
      {u".~tx.journal . ", true},
      {u".~tx.journal:notes", true},  // a stream of the journal
      {u".~tx.journal::$DATA", true},
      {u".~tx0123abcd.tmp", true},
      {u".~TX0123ABCD.TMP", true},
      {u"a.txt.~tx12345678.bak", true},
      {u"tallyx.exe.~TXDEADBEEF.Bak", true},
      {u"\u00E9t\u00E9.~txdeadbeef.bak", true},
      {u".~txdeadbeef.bak", true},
      {u".~txprobe1234-5678.tmp", true},
      {u".~TXPROBE.TMP", true},
      {u".~tx.journal.txt", false},
      {u"x.~tx.journal", false},
      {u".~tx.journa1", false},
      {u".~tx1234567.tmp", false},  // 7 hex digits
      {u".~tx123456789.tmp", false},  // 9
      {u".~tx1234567g.tmp", false},
      {u".~tx\uFF11\uFF12\uFF13\uFF14\uFF15\uFF16\uFF17\uFF18.tmp", false},  // fullwidth digits
      {u"a.~tx12345678.tmp", false},  // staged files have nothing before the marker
      {u".~tx12345678.tmp.txt", false},
      {u".~tx12345678.bak.old", false},
      {u"a.~tx1234567.bak", false},
      {u".~tx12345678", false},
      {u"~tx12345678.tmp", false},
      {u".tx12345678.tmp", false},
      {u".~txprobe", false},
      {u".~txprobe.txt", false},
      {u"txprobe1.tmp", false},
      {u"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsTransactionName(c.name), c.reserved) << EncodeUtf8(c.name);
    EXPECT_EQ(NamesTransactionFile(std::u16string(u"docs\\") + c.name), c.reserved)
        << EncodeUtf8(c.name);
  }
  EXPECT_TRUE(NamesTransactionFile(u".~tx0123abcd.tmp\\inside.txt"));
  EXPECT_FALSE(NamesTransactionFile(u"docs\\readme.txt"));
}

}  // namespace
}  // namespace tallyx
