// The archive reader: end record, central directory, local headers, names, entry streams.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {


struct Outcome {
  std::u16string className;
  std::u16string message;
};

template <typename F>
Outcome Attempt(F&& action) {
  try {
    action();
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  }
  return {u"", u""};
}

class ReaderTest : public ::testing::Test {
 protected:
  std::unique_ptr<FileSystem> fs_ = CreateNativeFileSystem();
};

// An archive opened for reading from its own copy of `data` (the stream only views it).
struct OpenArchive {
  OpenArchive(FileSystem& fs, std::string data) : bytes(std::move(data)), zip(fs), stream(bytes) {
    zip.Open(stream, TZipMode::zmRead);
  }
  std::string bytes;
  TZipFile zip;
  TMemoryStream stream;
};

std::string EndRecordOnly(uint16_t entries = 0, uint32_t offset = 0, const std::string& comment = "") {
  std::string out;
  PutLE(out, 0x06054B50, 4);
  PutLE(out, 0, 4);
  PutLE(out, entries, 2);
  PutLE(out, entries, 2);
  PutLE(out, 0, 4);
  PutLE(out, offset, 4);
  PutLE(out, comment.size(), 2);
  return out + comment;
}

TEST_F(ReaderTest, OpenOutcomes) {
  const WrittenZip good = BuildZip({{"a.txt", "alpha"}, {"b.txt", "beta"}});
  auto corrupt = [&](size_t at, char value) {
    std::string bytes = good.bytes;
    bytes[at] = value;
    return bytes;
  };
  std::string shortCentral = good.bytes.substr(0, good.centralOffset + 20);
  shortCentral += EndRecordOnly(2, static_cast<uint32_t>(good.centralOffset));
  std::string longName = good.bytes;
  SetLE(longName, good.centralOffsets[1] + 28, 0xFFFF, 2);
  struct Case {
    const char* name;
    std::string bytes;
    std::u16string className;
    std::u16string message;
    size_t entries;
  } cases[] = {
      {"zero bytes", "", u"EZipException", u"Stream read error", 0},
      {"one byte", "P", u"EZipException", u"Error reading zip file", 0},
      {"four bytes", "PK\x05\x06", u"EZipException", u"Error reading zip file", 0},
      {"no end record", std::string(5000, 'x'), u"EZipException", u"Error reading zip file", 0},
      {"empty archive", EndRecordOnly(), u"", u"", 0},
      {"two entries", good.bytes, u"", u"", 2},
      {"trailing bytes", good.bytes + std::string(60000, '\0'), u"", u"", 2},
      {"end record pushed out by trailing bytes", good.bytes + std::string(65600, '\0'),
       u"EZipException", u"Error reading zip file", 0},
      {"longest comment", BuildZip({{"a", "x"}}, std::string(65513, 'c')).bytes, u"", u"", 1},
      {"comment one byte too long", BuildZip({{"a", "x"}}, std::string(65514, 'c')).bytes,
       u"EZipException", u"Error reading zip file", 0},
      {"comment holding an end record", BuildZip({{"a", "x"}}, "note " + EndRecordOnly()).bytes,
       u"", u"", 0},
      {"central signature damaged", corrupt(good.centralOffsets[1], 'Q'), u"EZipException",
       u"Invalid Zip Central Header signature", 0},
      {"central directory cut short", shortCentral, u"EZipException", u"Error reading zip file", 0},
      {"name longer than the file", longName, u"EZipException", u"Error reading zip file", 0},
      {"ZIP64 placeholders", EndRecordOnly(0xFFFF, 0xFFFFFFFF), u"EZipException",
       u"Invalid Zip Central Header signature", 0},
      {"entry count beyond the directory", EndRecordOnly(0xFFFF, 0), u"EZipException",
       u"Invalid Zip Central Header signature", 0},
  };
  for (const Case& c : cases) {
    TZipFile zip(*fs_);
    TMemoryStream stream(c.bytes);
    const Outcome outcome = Attempt([&] { zip.Open(stream, TZipMode::zmRead); });
    EXPECT_EQ(EncodeUtf8(outcome.className), EncodeUtf8(c.className)) << c.name;
    EXPECT_EQ(EncodeUtf8(outcome.message), EncodeUtf8(c.message)) << c.name;
    EXPECT_EQ(zip.Mode(), c.className.empty() ? TZipMode::zmRead : TZipMode::zmClosed) << c.name;
    if (c.className.empty()) {
      EXPECT_EQ(zip.FileCount(), c.entries) << c.name;
    }
  }
}

TEST_F(ReaderTest, CommentIsRead) {
  OpenArchive archive(*fs_, BuildZip({{"a", "x"}}, "release 4.2").bytes);
  EXPECT_EQ(archive.zip.Comment(), "release 4.2");
}

TEST_F(ReaderTest, ModesOtherThanReadAreRefused) {
  const WrittenZip good = BuildZip({{"a", "x"}});
  for (TZipMode mode : {TZipMode::zmClosed, TZipMode::zmWrite, TZipMode::zmReadWrite,
                        static_cast<TZipMode>(7)}) {
    TZipFile zip(*fs_);
    TMemoryStream stream(good.bytes);
    const Outcome outcome = Attempt([&] { zip.Open(stream, mode); });
    EXPECT_EQ(EncodeUtf8(outcome.message), "Invalid argument") << static_cast<int>(mode);
    EXPECT_EQ(zip.Mode(), TZipMode::zmClosed);
  }
}

// Reads entry `index` whole through its data stream.
std::string ReadEntry(TZipFile& zip, size_t index) {
  std::unique_ptr<TStream> data;
  TZipHeader local;
  zip.Read(index, data, local);
  std::string out(zip.FileInfo(index).UncompressedSize, '\0');
  data->ReadBuffer(out.data(), out.size());
  return out;
}

TEST_F(ReaderTest, EntryStreamsByMethod) {
  std::string big;
  for (int i = 0; i < 40000; ++i) big += std::to_string(i * 7919 % 10007) + ",";
  ZipWriterEntry wideStored{"s", "stored bytes", 0x100};
  ZipWriterEntry wideDeflated{"d", big, 0x108};
  struct Case {
    const char* name;
    ZipWriterEntry entry;
    std::u16string className;
    std::u16string message;
  } cases[] = {
      {"stored", {"a", "stored", 0}, u"", u""},
      {"deflated", {"b", big, 8}, u"", u""},
      {"0x100 as stored", wideStored, u"", u""},
      {"0x108 as deflated", wideDeflated, u"", u""},
      {"method 9", {"c", "x", 9}, u"EListError", u"Item not found"},
      {"method 99", {"c", "x", 99}, u"EListError", u"Item not found"},
  };
  for (const Case& c : cases) {
    OpenArchive archive(*fs_, BuildZip({c.entry, {"after", "next entry"}}).bytes);
    std::string content;
    const Outcome outcome = Attempt([&] { content = ReadEntry(archive.zip, 0); });
    EXPECT_EQ(EncodeUtf8(outcome.className), EncodeUtf8(c.className)) << c.name;
    EXPECT_EQ(EncodeUtf8(outcome.message), EncodeUtf8(c.message)) << c.name;
    if (c.className.empty()) {
      EXPECT_EQ(content, c.entry.data) << c.name;
      EXPECT_EQ(ReadEntry(archive.zip, 1), "next entry") << c.name;
    }
  }
}

TEST_F(ReaderTest, DeflateGivesBackWhatItReadAhead) {
  const WrittenZip built = BuildZip({{"a", std::string(1000, 'a')}, {"b", "bbb"}});
  OpenArchive archive(*fs_, built.bytes);
  std::unique_ptr<TStream> data;
  TZipHeader local;
  archive.zip.Read(0, data, local);
  char buffer[2000];
  EXPECT_EQ(data->Read(buffer, sizeof buffer), 1000u);
  // The archive stands right after the entry's compressed bytes: at the next local header.
  EXPECT_EQ(archive.stream.Position(), static_cast<int64_t>(built.localOffsets[1]));
  EXPECT_EQ(data->Read(buffer, sizeof buffer), 0u);
}

// The end record is searched in windows that overlap by 4 bytes: a signature across the
// boundary of two windows is still found.
TEST_F(ReaderTest, EndRecordAcrossWindowBoundaries) {
  std::vector<size_t> comments;
  for (size_t length = 990; length < 1050; ++length) comments.push_back(length);
  for (size_t length = 2010; length < 2080; ++length) comments.push_back(length);
  for (size_t comment : comments) {
    TZipFile zip(*fs_);
    // Stored data ahead of the directory keeps the start of the file out of the windows.
    const std::string bytes =
        BuildZip({{"a", std::string(10000, 'x'), 0}}, std::string(comment, 'c')).bytes;
    TMemoryStream stream(bytes);
    const Outcome outcome = Attempt([&] { zip.Open(stream, TZipMode::zmRead); });
    EXPECT_EQ(EncodeUtf8(outcome.message), "") << comment;
    EXPECT_EQ(zip.FileCount(), 1u) << comment;
  }
}

// Every entry stream reads from the one archive stream: one that is read again after
// another entry has moved the archive must go on from where it stood.
TEST_F(ReaderTest, EntryStreamsReadInTurns) {
  std::string first(200000, '\0'), second(200000, '\0');
  uint32_t seed = 12345;
  for (std::string* data : {&first, &second}) {
    for (char& c : *data) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  }
  OpenArchive archive(*fs_, BuildZip({{"one", first}, {"two", second}}).bytes);
  std::unique_ptr<TStream> one, two;
  TZipHeader local;
  std::string readOne(first.size(), '\0'), readTwo(second.size(), '\0');
  archive.zip.Read(0, one, local);
  ASSERT_EQ(one->Read(readOne.data(), 100000), 100000u);
  archive.zip.Read(1, two, local);
  ASSERT_EQ(two->Read(readTwo.data(), 100000), 100000u);
  ASSERT_EQ(one->Read(readOne.data() + 100000, 100000), 100000u);
  ASSERT_EQ(two->Read(readTwo.data() + 100000, 100000), 100000u);
  EXPECT_TRUE(readOne == first);
  EXPECT_TRUE(readTwo == second);
}

TEST_F(ReaderTest, ReadFailures) {
  const WrittenZip good = BuildZip({{"a.txt", std::string(3000, 'z')}});
  std::string badLocal = good.bytes;
  badLocal[good.localOffsets[0] + 2] = 'X';
  std::string badDeflate = good.bytes;
  badDeflate[good.localOffsets[0] + 30 + 5] = '\xFF';  // first block header: reserved type 3
  struct Case {
    const char* name;
    std::string bytes;
    std::u16string className;
    std::u16string message;
  } cases[] = {
      {"local signature damaged", badLocal, u"EZipException", u"Invalid Zip Local Header signature"},
      {"corrupt deflate data", badDeflate, u"EZDecompressionError", u"data error"},
  };
  for (const Case& c : cases) {
    OpenArchive archive(*fs_, c.bytes);
    const Outcome outcome = Attempt([&] { ReadEntry(archive.zip, 0); });
    EXPECT_EQ(EncodeUtf8(outcome.className), EncodeUtf8(c.className)) << c.name;
    EXPECT_EQ(EncodeUtf8(outcome.message), EncodeUtf8(c.message)) << c.name;
  }
  TZipFile closed(*fs_);
  const Outcome outcome = Attempt([&] { ReadEntry(closed, 0); });
  EXPECT_EQ(EncodeUtf8(outcome.message), "File must be open for reading");
}

std::vector<std::string> Names(TZipFile& zip) {
  std::vector<std::string> names;
  for (size_t i = 0; i < zip.FileCount(); ++i) {
    std::unique_ptr<TStream> data;
    TZipHeader local;
    zip.Read(i, data, local);
    names.push_back(EncodeUtf8(zip.EntryName(i, local)));
  }
  return names;
}

TEST_F(ReaderTest, NamesDecodeByTheirOwnFlag) {
  const std::string cafe = "caf\xC3\xA9.txt";
  const std::string pcName = "\x81" "ber.txt";  // code page 437: 0x81 is u-umlaut
  const std::string unicodeU = "\xC3\xBC" "ber.txt";
  ZipWriterEntry withField{"raw-name", "x"};
  withField.localExtra = std::string("\x01\x00\x02\x00zz", 6) +
                         UnicodePathField("raw-name", cafe);
  ZipWriterEntry badCrc{"raw-name", "x"};
  badCrc.localExtra = UnicodePathField("raw-name", cafe, 1234);
  ZipWriterEntry centralOnly{"raw-name", "x"};
  centralOnly.centralExtra = UnicodePathField("raw-name", cafe);
  ZipWriterEntry cutField{"raw-name", "x"};
  cutField.localExtra = UnicodePathField("raw-name", cafe).substr(0, 10);
  // Of two Unicode path fields the first decides, whether it matches the name or not.
  ZipWriterEntry twoFields{"raw-name", "x"};
  twoFields.localExtra = UnicodePathField("raw-name", cafe) +
                         UnicodePathField("raw-name", "second.txt");
  ZipWriterEntry firstStale{"raw-name", "x"};
  firstStale.localExtra = UnicodePathField("raw-name", cafe, 1234) +
                          UnicodePathField("raw-name", "second.txt");
  struct Case {
    const char* name;
    std::vector<ZipWriterEntry> entries;
    std::vector<std::string> expected;
    bool utf8Support;
  } cases[] = {
      {"all flagged", {{cafe, "1", 8, 0x800}, {"b", "2", 8, 0x800}}, {cafe, "b"}, true},
      {"none flagged", {{pcName, "1"}, {"b", "2"}}, {unicodeU, "b"}, false},
      {"only the non-ASCII entry flagged", {{"plain.txt", "1"}, {cafe, "2", 8, 0x800}},
       {"plain.txt", cafe}, false},
      {"unflagged next to flagged", {{pcName, "1"}, {cafe, "2", 8, 0x800}}, {unicodeU, cafe}, false},
      {"Unicode path field", {withField}, {cafe}, false},
      {"Unicode path field with a wrong CRC", {badCrc}, {"raw-name"}, false},
      {"Unicode path field only in the directory", {centralOnly}, {"raw-name"}, false},
      {"Unicode path field cut short", {cutField}, {"raw-name"}, false},
      {"two Unicode path fields", {twoFields}, {cafe}, false},
      {"a stale Unicode path field before a good one", {firstStale}, {"raw-name"}, false},
      {"empty name", {{"", "x", 0, 0x800}}, {""}, true},
  };
  for (const Case& c : cases) {
    OpenArchive archive(*fs_, BuildZip(c.entries).bytes);
    EXPECT_EQ(Names(archive.zip), c.expected) << c.name;
    EXPECT_EQ(archive.zip.UTF8Support(), c.utf8Support) << c.name;
  }
}

TEST_F(ReaderTest, NothingCarriesOverToTheNextArchive) {
  const WrittenZip first = BuildZip({{"\x81.txt", "1"}});
  const WrittenZip second = BuildZip({{"caf\xC3\xA9", "2", 8, 0x800}});
  TZipFile zip(*fs_);
  TMemoryStream one(first.bytes), two(second.bytes);
  zip.Open(one, TZipMode::zmRead);
  EXPECT_FALSE(zip.UTF8Support());
  zip.Open(two, TZipMode::zmRead);
  EXPECT_TRUE(zip.UTF8Support());
  EXPECT_EQ(Names(zip), std::vector<std::string>{"caf\xC3\xA9"});
}

TEST_F(ReaderTest, InvalidUtf8Names) {
  ZipWriterEntry badField{"raw", "x"};
  badField.localExtra = UnicodePathField("raw", "\xC3(");
  const std::vector<ZipWriterEntry> cases[] = {
      {{"bad\xFF", "x", 8, 0x800}},
      {{"overlong\xC0\xAF", "x", 8, 0x800}},
      {badField},
  };
  for (const auto& entries : cases) {
    OpenArchive archive(*fs_, BuildZip(entries).bytes);
    const Outcome outcome = Attempt([&] { Names(archive.zip); });
    EXPECT_EQ(EncodeUtf8(outcome.className), "EEncodingError") << entries[0].name;
    EXPECT_EQ(EncodeUtf8(outcome.message),
              "No mapping for the Unicode character exists in the target multi-byte code page")
        << entries[0].name;
  }
}

TEST_F(ReaderTest, RegisteredHandlerServesItsMethod) {
  TZipFile::RegisterCompressionHandler(
      0x5A, nullptr, [](TStream& input, TZipFile&, const TZipHeader&) -> std::unique_ptr<TStream> {
        return std::make_unique<TStoredStream>(input);
      });
  OpenArchive archive(*fs_, BuildZip({{"custom", "plain bytes", 0x5A}}).bytes);
  EXPECT_EQ(ReadEntry(archive.zip, 0), "plain bytes");
}

}  // namespace
}  // namespace tallyx
