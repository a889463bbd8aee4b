// The release index: its text as written, read back, and every text it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "zip/release_index.h"

namespace tallyx {
namespace {

Sha256Digest Digest(uint8_t seed) {
  Sha256Digest d{};
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(seed + i * 7);
  return d;
}

ReleaseIndex GoodIndex() {
  ReleaseIndex index;
  index.archiveSize = 1000;
  index.centralOffset = 900;
  index.centralContent = Digest(0xA0);
  index.entries = {
      {0, 100, 50, 120, 0x0BADF00D, Digest(1), u"tallyx.exe"},
      {100, 80, 0, 0, 0, Digest(2), u"docs/"},
      {180, 200, 150, 300, 0xFFFFFFFF, Digest(3), U16("docs/caf\xC3\xA9 cr\xC3\xA8me.txt")},
      // Ends exactly at the central directory; blanks inside and a character outside the
      // basic plane (a surrogate pair in UTF-16).
      {380, 520, 400, 9, 0x00000001, Digest(4), U16("docs/\xF0\x9F\x99\x82 a  b")},
  };
  return index;
}

TEST(ReleaseIndex, WritesTheDocumentedTextAndReadsItBack) {
  const ReleaseIndex index = GoodIndex();
  const std::string text = FormatReleaseIndex(index);
  EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1) + 1),
            "TallyxUpdater index 1\n"
            "archive 1000 900 a0a7aeb5bcc3cad1d8dfe6edf4fb020910171e252c333a41484f565d646b7279\n");
  EXPECT_NE(text.find("\nentry 0 100 50 120 0badf00d 01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da tallyx.exe\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find(" docs/caf\xC3\xA9 cr\xC3\xA8me.txt\n"), std::string::npos) << text;
  EXPECT_EQ(ParseReleaseIndex(text), index);
  EXPECT_TRUE(index.entries[1].IsFolder());
  EXPECT_FALSE(index.entries[0].IsFolder());

  ReleaseIndex empty;
  empty.archiveSize = 22;
  empty.centralOffset = 0;
  EXPECT_EQ(ParseReleaseIndex(FormatReleaseIndex(empty)), empty);
}

// Replaces the `nth` occurrence (from 0) of `from` in `text` with `to`.
std::string Corrupt(std::string text, const std::string& from, const std::string& to, int nth = 0) {
  size_t at = text.find(from);
  while (nth-- > 0 && at != std::string::npos) at = text.find(from, at + 1);
  if (at == std::string::npos) ADD_FAILURE() << "no " << from;
  else text.replace(at, from.size(), to);
  return text;
}

TEST(ReleaseIndex, RefusesEveryTextItWouldNotWrite) {
  const std::string good = FormatReleaseIndex(GoodIndex());
  const std::string crc = " 0badf00d ";
  const std::string sha1 = " 01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da ";
  struct Case {
    const char* what;
    std::string text;
    bool valid;
  } cases[] = {
      {"good", good, true},
      {"other version", Corrupt(good, "index 1\n", "index 2\n"), false},
      {"byte-order mark", "\xEF\xBB\xBF" + good, false},
      {"blank before the first line", " " + good, false},
      {"CR LF lines", [&] {
         std::string t;
         for (char c : good) t += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return t;
       }(), false},
      {"CR in a name", Corrupt(good, "tallyx.exe", "tallyx\r.exe"), false},
      {"no final LF", good.substr(0, good.size() - 1), false},
      {"blank line at the end", good + "\n", false},
      {"blank line between entries", Corrupt(good, "\nentry 100 ", "\n\nentry 100 "), false},
      {"no archive line", Corrupt(good, "archive 1000 900", "entry 1000 900"), false},
      {"only the first line", "TallyxUpdater index 1\n", false},
      {"leading zero", Corrupt(good, "entry 100 ", "entry 0100 "), false},
      {"zero written 00", Corrupt(good, " 0 0 00000000", " 00 0 00000000"), false},
      {"plus sign", Corrupt(good, "entry 100 ", "entry +100 "), false},
      {"minus sign", Corrupt(good, " 0 0 00000000", " -0 0 00000000"), false},
      {"hexadecimal number", Corrupt(good, "archive 1000 ", "archive 0x3e8 "), false},
      {"upper-case CRC", Corrupt(good, crc, " 0BADF00D "), false},
      {"CRC of 7 digits", Corrupt(good, crc, " badf00d "), false},
      {"CRC of 9 digits", Corrupt(good, crc, " 00badf00d "), false},
      {"CRC not hex", Corrupt(good, crc, " 0badf00g "), false},
      {"SHA-256 of 63 digits", Corrupt(good, sha1, sha1.substr(0, 64) + " "), false},
      {"SHA-256 of 65 digits", Corrupt(good, sha1, sha1.substr(0, 65) + "0 "), false},
      {"upper-case SHA-256", Corrupt(good, "a0a7aeb5", "A0A7AEB5"), false},
      {"missing field", Corrupt(good, "entry 0 100 50 120", "entry 0 100 120"), false},
      {"missing archive hash", Corrupt(good, "archive 1000 900 a0a7aeb5bcc3cad1d8dfe6edf4fb020910171e252c333a41484f565d646b7279", "archive 1000 900"), false},
      {"extra archive field", Corrupt(good, "6b7279\n", "6b7279 1\n"), false},
      {"trailing blank", Corrupt(good, "6b7279\n", "6b7279 \n"), false},
      {"two blanks", Corrupt(good, "entry 0 100", "entry 0  100"), false},
      {"tab for a blank", Corrupt(good, "entry 0 100", "entry 0\t100"), false},
      {"other keyword", Corrupt(good, "entry 100 ", "Entry 100 "), false},
      {"a line of another kind", good + "end\n", false},
      {"entries out of order", [&] {
         const size_t a = good.find("entry 0 "), b = good.find("entry 100 "), c = good.find("entry 180 ");
         return good.substr(0, a) + good.substr(b, c - b) + good.substr(a, b - a) + good.substr(c);
       }(), false},
      {"overlapping entries", Corrupt(good, "entry 100 80", "entry 99 81"), false},
      {"a gap between entries", Corrupt(good, "entry 100 80", "entry 101 79"), true},
      {"entry past the central directory", Corrupt(good, "entry 380 520", "entry 380 521"), false},
      {"entry starting past it", Corrupt(good, "entry 380 520", "entry 901 30"), false},
      {"central directory past the end", Corrupt(good, "archive 1000 900", "archive 899 900"), false},
      {"central directory at the end", Corrupt(good, "archive 1000 900", "archive 900 900"), true},
      {"largest number", Corrupt(good, "archive 1000 ", "archive 18446744073709551615 "), true},
      {"number past 64 bits", Corrupt(good, "archive 1000 ", "archive 18446744073709551616 "), false},
      {"number far past 64 bits", Corrupt(good, "archive 1000 ", "archive 99999999999999999999999 "), false},
      {"offset and length wrap around", Corrupt(good, "entry 380 520 400", "entry 380 18446744073709551516 400"), false},
      {"shorter than a local header", Corrupt(good, "entry 100 80 0", "entry 100 29 0"), false},
      {"just a local header", Corrupt(good, "entry 100 80 0", "entry 100 30 0"), true},
      {"compressed data past the entry", Corrupt(good, "entry 0 100 50", "entry 0 100 71"), false},
      {"compressed data filling the entry", Corrupt(good, "entry 0 100 50", "entry 0 100 70"), true},
      {"empty name", Corrupt(good, " tallyx.exe\n", " \n"), false},
      {"no name", Corrupt(good, " tallyx.exe\n", "\n"), false},
      {"name with a control character", Corrupt(good, "tallyx.exe", "tallyx\x01.exe"), false},
      {"name with a tab", Corrupt(good, "tallyx.exe", "tallyx\t.exe"), false},
      {"name with DEL", Corrupt(good, "tallyx.exe", "tallyx\x7F.exe"), false},
      {"name with NUL", Corrupt(good, "tallyx.exe", std::string("tallyx\0.exe", 11)), false},
      {"name in Latin-1", Corrupt(good, "caf\xC3\xA9", "caf\xE9"), false},
      {"overlong UTF-8", Corrupt(good, "docs/caf", "docs\xC0\xAF" "caf"), false},
      {"UTF-8 surrogate", Corrupt(good, "\xF0\x9F\x99\x82", "\xED\xA0\xBD\xED\xB9\x82"), false},
      {"cut UTF-8", Corrupt(good, "\xF0\x9F\x99\x82", "\xF0\x9F\x99"), false},
      {"name with a leading blank", Corrupt(good, " tallyx.exe\n", "  tallyx.exe\n"), true},
      {"two entries of one name", Corrupt(good, " docs/\n", " tallyx.exe\n"), false},
      {"names differing in case", Corrupt(good, " docs/\n", " TALLYX.EXE\n"), true},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseReleaseIndex(c.text);
    EXPECT_EQ(parsed.has_value(), c.valid) << c.what;
    // Whatever is read is exactly what would be written back.
    if (parsed) {
      EXPECT_EQ(FormatReleaseIndex(*parsed), c.text) << c.what;
    }
  }
}

// Any text read at all is the one text written for what was read: every byte of a good
// text changed, dropped or doubled either is refused or reads as another index.
TEST(ReleaseIndex, EveryByteChangedIsRefusedOrReadAsWritten) {
  const std::string good = FormatReleaseIndex(GoodIndex());
  size_t accepted = 0, refused = 0;
  for (size_t at = 0; at < good.size(); ++at) {
    std::vector<std::string> variants = {good.substr(0, at) + good.substr(at + 1),
                                         good.substr(0, at + 1) + good.substr(at)};
    for (const char replacement : {'0', '1', '9', 'a', 'f', 'F', ' ', '\n', '\r', '\0', '\x80'}) {
      if (good[at] == replacement) continue;
      variants.push_back(good);
      variants.back()[at] = replacement;
    }
    for (const std::string& text : variants) {
      const auto parsed = ParseReleaseIndex(text);
      if (!parsed) {
        ++refused;
        continue;
      }
      ++accepted;
      EXPECT_EQ(FormatReleaseIndex(*parsed), text) << "byte " << at;
    }
  }
  // Both sides of the sweep were reached.
  EXPECT_GT(accepted, 100u);
  EXPECT_GT(refused, 1000u);
}

TEST(ReleaseIndex, ReadsAtMostTheLimitOfEntries) {
  for (const size_t count : {kReleaseIndexMaxEntries, kReleaseIndexMaxEntries + 1}) {
    ReleaseIndex index;
    index.centralOffset = 30 * count;
    index.archiveSize = index.centralOffset + 22;
    for (size_t i = 0; i < count; ++i)
      index.entries.push_back({30 * i, 30, 0, 0, 0, {}, u"f" + U16(std::to_string(i))});
    const auto parsed = ParseReleaseIndex(FormatReleaseIndex(index));
    EXPECT_EQ(parsed.has_value(), count <= kReleaseIndexMaxEntries) << count;
  }
}

}  // namespace
}  // namespace tallyx
