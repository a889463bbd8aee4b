#include "base/text.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/errors.h"

namespace tallyx {
namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  std::u16string lenient;
  bool strictFails;
};

const Utf8Case kUtf8Cases[] = {
    {"empty", "", u"", false},
    {"ascii", "abc", u"abc", false},
    {"two-byte", "caf\xC3\xA9", u"caf\u00E9", false},
    {"three-byte", "\xE2\x82\xAC", u"\u20AC", false},
    {"four-byte surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600", false},
    {"byte-order mark kept", "\xEF\xBB\xBF" "4.2", u"\uFEFF" "4.2", false},
    {"NUL kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3), false},
    {"lone continuation", "a\x80z", u"a\uFFFDz", true},
    {"legacy Windows-1252 e-acute", "caf\xE9", u"caf\uFFFD", true},
    {"truncated three-byte at end", "\xE2\x82", u"\uFFFD", true},
    {"truncated then ascii", "\xE2\x82" "a", u"\uFFFD" "a", true},
    {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", true},
    {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", true},
    {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", true},
    {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", true},
    {"F5 never valid", "\xF5", u"\uFFFD", true},
    {"FF never valid", "\xFF\xFE", u"\uFFFD\uFFFD", true},
    {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", false},
};

TEST(Utf8, LenientReplacesEachMaximalInvalidSubpart) {
  for (const auto& c : kUtf8Cases) {
    EXPECT_EQ(DecodeUtf8Lenient(c.bytes), c.lenient) << c.name;
  }
}

TEST(Utf8, StrictRaisesEncodingErrorOnAnyInvalidSequence) {
  for (const auto& c : kUtf8Cases) {
    if (c.strictFails) {
      try {
        DecodeUtf8Strict(c.bytes);
        ADD_FAILURE() << c.name << ": no error";
      } catch (const EEncodingError& e) {
        EXPECT_EQ(e.Message(),
                  u"No mapping for the Unicode character exists in the target multi-byte code page")
            << c.name;
        EXPECT_EQ(std::u16string(e.ClassName()), u"EEncodingError");
      }
    } else {
      EXPECT_EQ(DecodeUtf8Strict(c.bytes), c.lenient) << c.name;
    }
  }
}

TEST(Utf8, SequenceSplitAcrossChunksDecodesOnceJoined) {
  std::string body(1023, 'a');
  body += "\xC3\xA9";
  const std::u16string text = DecodeUtf8Lenient(body);
  ASSERT_EQ(text.size(), 1024u);
  EXPECT_EQ(text.back(), u'\u00E9');
}

TEST(Utf8, EncodeRoundTripsAndReplacesLoneSurrogates) {
  const std::u16string samples[] = {u"", u"abc", u"caf\u00E9", u"\u20AC", u"\U0001F600",
                                    u"\uFEFFx"};
  for (const auto& s : samples) EXPECT_EQ(DecodeUtf8Strict(EncodeUtf8(s)), s);
  EXPECT_EQ(EncodeUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(EncodeUtf8(u"\xDC00" "a"), "\xEF\xBF\xBD" "a");
}

TEST(Cp437, AsciiHalfIsUnchanged) {
  std::string all;
  for (int b = 0; b < 0x80; ++b) all.push_back(static_cast<char>(b));
  const std::u16string text = DecodeCp437(all);
  ASSERT_EQ(text.size(), 0x80u);
  for (int b = 0; b < 0x80; ++b) EXPECT_EQ(text[b], char16_t(b)) << b;
}

TEST(Cp437, HighHalfSamples) {
  const struct {
    unsigned char byte;
    char16_t expected;
  } cases[] = {
      {0x80, u'\u00C7'}, {0x81, u'\u00FC'}, {0x82, u'\u00E9'}, {0x9E, u'\u20A7'},
      {0x9F, u'\u0192'}, {0xA9, u'\u2310'}, {0xB0, u'\u2591'}, {0xC3, u'\u251C'},
      {0xC4, u'\u2500'}, {0xDB, u'\u2588'}, {0xE1, u'\u00DF'}, {0xE6, u'\u00B5'},
      {0xEC, u'\u221E'}, {0xF9, u'\u2219'}, {0xFA, u'\u00B7'}, {0xFE, u'\u25A0'},
      {0xFF, u'\u00A0'},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeCp437(std::string(1, static_cast<char>(c.byte))),
              std::u16string(1, c.expected))
        << std::hex << int(c.byte);
  }
}

TEST(Cp437, HighHalfIsABijectionOntoDistinctCharacters) {
  std::string high;
  for (int b = 0x80; b < 0x100; ++b) high.push_back(static_cast<char>(b));
  std::u16string text = DecodeCp437(high);
  std::sort(text.begin(), text.end());
  EXPECT_EQ(std::adjacent_find(text.begin(), text.end()), text.end());
  EXPECT_GE(text.front(), u'\u00A0');
}

}  // namespace
}  // namespace tallyx
