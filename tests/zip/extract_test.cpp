// Extraction to a folder through the platform's file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "platform/native_file_system.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/zip_archive.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::ErrorOf;

using testing::ListTree;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

class ExtractTest : public ::testing::Test {
 protected:
  // Writes `bytes` as archive.zip in the scratch folder and extracts it into out/.
  std::string Extract(const std::string& bytes) {
    WriteBytes(scratch_.path() / "archive.zip", bytes);
    TZipFile zip(*fs_);
    return ErrorOf([&] {
      zip.Open((scratch_.path() / "archive.zip").u16string(), TZipMode::zmRead);
      zip.ExtractAll(Out().u16string());
    });
  }
  fs::path Out() const { return scratch_.path() / "out"; }
  std::string Native(const fs::path& path) const { return EncodeUtf8(path.u16string()); }

  std::unique_ptr<FileSystem> fs_ = CreateNativeFileSystem();
  ScratchFolder scratch_;
};

TEST_F(ExtractTest, WritesTheTree) {
  std::string big;
  for (int i = 0; i < 30000; ++i) big += "line " + std::to_string(i) + "\n";
  ZipWriterEntry descriptor{"dd.bin", big};
  descriptor.dataDescriptor = true;
  ZipWriterEntry emptyWithDescriptor{"empty-dd.txt", ""};
  emptyWithDescriptor.dataDescriptor = true;
  const WrittenZip zip = BuildZip({
      {"docs/", "", 0},
      {"a/b/c.txt", "nested"},
      {"back\\slash\\x.txt", "backslashes"},
      {"empty.txt", "", 0},
      emptyWithDescriptor,
      {"one", "1", 0},
      {"four", "4444"},
      descriptor,
      {"dup.txt", "first"},
      {"wide.txt", "method 0x108", 0x108},
      {"dup.txt", "second"},
  });
  ASSERT_EQ(Extract(zip.bytes), "");
  EXPECT_EQ(ListTree(Out()),
            "a/;a/b/;a/b/c.txt;back/;back/slash/;back/slash/x.txt;dd.bin;docs/;dup.txt;"
            "empty-dd.txt;empty.txt;four;one;wide.txt;");
  struct Case {
    const char* file;
    std::string content;
  } cases[] = {
      {"a/b/c.txt", "nested"}, {"back/slash/x.txt", "backslashes"}, {"empty.txt", ""},
      {"empty-dd.txt", ""},    {"one", "1"},                        {"four", "4444"},
      {"dd.bin", big},         {"dup.txt", "second"},               {"wide.txt", "method 0x108"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadBytes(Out() / c.file), c.content) << c.file;
}

TEST_F(ExtractTest, EmptyArchiveWritesNothing) {
  ASSERT_EQ(Extract(BuildZip({}).bytes), "");
  EXPECT_EQ(ListTree(scratch_.path()), "archive.zip;");
}

TEST_F(ExtractTest, ZeroLengthEntryReadsNothing) {
  // The empty entry's deflate data is damaged: reading it would fail.
  WrittenZip zip = BuildZip({{"empty.txt", "", 8}, {"b", "bee"}});
  zip.bytes[zip.localOffsets[0] + 30 + 9] = '\xFF';
  fs::create_directories(Out());
  WriteBytes(Out() / "empty.txt", "old content");
  ASSERT_EQ(Extract(zip.bytes), "");
  EXPECT_EQ(ReadBytes(Out() / "empty.txt"), "");
  EXPECT_EQ(ReadBytes(Out() / "b"), "bee");
}

TEST_F(ExtractTest, AnyFailureLeavesTheFolderAsItWas) {
  ZipWriterEntry badCrc{"bad.txt", "payload"};
  badCrc.crc = 0x12345678;
  ZipWriterEntry storedLarger{"bad.txt", "abc", 0};
  storedLarger.uncompressedSize = 5;
  ZipWriterEntry storedSmaller{"bad.txt", "abc", 0};
  storedSmaller.uncompressedSize = 2;
  ZipWriterEntry deflatedLarger{"bad.txt", "abcdefgh"};
  deflatedLarger.uncompressedSize = 20;
  ZipWriterEntry deflatedSmaller{"bad.txt", "abcdefgh"};
  deflatedSmaller.uncompressedSize = 4;
  ZipWriterEntry storedEmptyLarger{"bad.txt", "", 0};
  storedEmptyLarger.compressedSize = 3;
  ZipWriterEntry encrypted{"bad.txt", "\x9c\x11\x05 ciphertext", 0, 0x0001};
  encrypted.crc = Crc32("plain text");
  struct Case {
    const char* name;
    ZipWriterEntry entry;
    std::string expected;
  } cases[] = {
      {"wrong CRC", badCrc, "EZipException: Bad CRC-32 for entry \"bad.txt\""},
      {"stored size larger", storedLarger, "EZipException: Wrong size for entry \"bad.txt\""},
      {"stored size smaller", storedSmaller, "EZipException: Wrong size for entry \"bad.txt\""},
      {"stored data behind an empty entry", storedEmptyLarger,
       "EZipException: Wrong size for entry \"bad.txt\""},
      {"deflated size larger", deflatedLarger, "EReadError: Stream read error"},
      {"deflated size smaller", deflatedSmaller, "EZipException: Wrong size for entry \"bad.txt\""},
      {"encrypted", encrypted, "EZipException: Bad CRC-32 for entry \"bad.txt\""},
      {"method 99", {"bad.txt", "x", 99}, "EListError: Item not found"},
      {"invalid characters", {"bad|name.txt", "x"}, "EArgumentException: Invalid characters in path"},
      {"invalid UTF-8", {"bad\xFF.txt", "x", 8, 0x800},
       "EEncodingError: No mapping for the Unicode character exists in the target multi-byte code page"},
      {"parent segment", {"../evil.txt", "x"},
       "EZipException: Entry \"../evil.txt\" would be written outside the folder"},
      {"deep parent segment", {"a/../../evil.txt", "x"},
       "EZipException: Entry \"a/../../evil.txt\" would be written outside the folder"},
      {"rooted", {"/evil.txt", "x"}, "EZipException: Entry \"/evil.txt\" would be written outside the folder"},
      {"rooted with backslash", {"\\evil.txt", "x"},
       "EZipException: Entry \"\\evil.txt\" would be written outside the folder"},
      {"drive", {"C:evil.txt", "x"}, "EZipException: Entry \"C:evil.txt\" would be written outside the folder"},
      {"long path prefix", {"\\\\?\\C:\\evil.txt", "x"},
       "EZipException: Entry \"\\\\?\\C:\\evil.txt\" would be written outside the folder"},
      {"device", {"sub/Aux.txt", "x"}, "EZipException: Entry \"sub/Aux.txt\" names a device"},
      {"the journal's name", {".~TX.journal", "x"},
       "EZipException: Entry \".~TX.journal\" takes a name the installation keeps for its own "
       "files"},
      {"a staged file's name", {"sub/.~tx0123abcd.tmp", "x"},
       "EZipException: Entry \"sub/.~tx0123abcd.tmp\" takes a name the installation keeps for "
       "its own files"},
      {"a backup's name", {"bad.txt.~tx0123ABCD.bak", "x"},
       "EZipException: Entry \"bad.txt.~tx0123ABCD.bak\" takes a name the installation keeps "
       "for its own files"},
      {"the probe's name as a folder", {".~txprobe1-2.tmp/a.txt", "x"},
       "EZipException: Entry \".~txprobe1-2.tmp/a.txt\" takes a name the installation keeps "
       "for its own files"},
  };
  for (const Case& c : cases) {
    fs::remove_all(Out());
    fs::create_directories(Out());
    WriteBytes(Out() / "bad.txt", "good old file");
    const WrittenZip zip = BuildZip({{"first.txt", "1"}, c.entry, {"after.txt", "3"}});
    EXPECT_EQ(Extract(zip.bytes), c.expected) << c.name;
    // The entry before is taken back, nothing lands outside, no staged file is left
    // behind and the existing file is intact.
    EXPECT_EQ(ListTree(scratch_.path()), "archive.zip;out/;out/bad.txt;") << c.name;
    EXPECT_EQ(ReadBytes(Out() / "bad.txt"), "good old file") << c.name;
  }
}

// Names that Windows takes for one file are one file here too, beyond ASCII: the later
// entry is the file, under its own spelling.
TEST_F(ExtractTest, NamesThatDifferOnlyInCaseAreOneFile) {
  constexpr uint16_t kUtf8 = 0x800;
  const WrittenZip zip = BuildZip({
      {"\xC3\x89t\xC3\xA9.txt", "first", 8, kUtf8},         // Été.txt
      {"\xD0\x96\xD0\xA3\xD0\x9A.txt", "upper", 8, kUtf8},  // ЖУК.txt
      {"\xC3\xA9t\xC3\xA9.txt", "second", 8, kUtf8},        // été.txt
      {"\xD0\xB6\xD1\x83\xD0\xBA.txt", "lower", 8, kUtf8},  // жук.txt
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "capitals", 8, kUtf8},  // ΟΔΟΣ
      {"\xCE\xBF\xCE\xB4\xCF\x8C\xCF\x82", "accent", 8, kUtf8},    // οδός: another file
      {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", "final", 8, kUtf8},     // οδος
      {"stra\xC3\x9F" "e", "sharp s", 8, kUtf8},              // straße
      {"STRASSE", "double s", 8, kUtf8},
      {"\xC2\xB5", "micro", 8, kUtf8},                        // µ
      {"\xCE\x9C", "mu", 8, kUtf8},                           // Greek capital mu
  });
  ASSERT_EQ(Extract(zip.bytes), "");
  struct Case {
    const char* file;
    const char* content;
  } cases[] = {
      {"\xC3\xA9t\xC3\xA9.txt", "second"},
      {"\xD0\xB6\xD1\x83\xD0\xBA.txt", "lower"},
      {"\xCE\xBF\xCE\xB4\xCF\x8C\xCF\x82", "accent"},
      {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", "final"},
      {"stra\xC3\x9F" "e", "sharp s"},
      {"STRASSE", "double s"},
      {"\xC2\xB5", "micro"},
      {"\xCE\x9C", "mu"},
  };
  std::vector<std::string> files;
  for (const Case& c : cases) {
    EXPECT_EQ(ReadBytes(Out() / DecodeUtf8Strict(c.file)), c.content) << c.file;
    files.push_back(c.file);
  }
  std::sort(files.begin(), files.end());
  std::string tree;
  for (const std::string& file : files) tree += file + ";";
  EXPECT_EQ(ListTree(Out()), tree);
}

TEST_F(ExtractTest, DamagedLocalHeaderFailsADirectoryEntryToo) {
  WrittenZip zip = BuildZip({{"docs/", "", 0}});
  zip.bytes[zip.localOffsets[0]] = 'X';
  EXPECT_EQ(Extract(zip.bytes), "EZipException: Invalid Zip Local Header signature");
  EXPECT_FALSE(fs::exists(Out()));
}

TEST_F(ExtractTest, ReadOnlyOverReadOnly) {
  ZipWriterEntry readOnly{"ro.txt", "first", 8, 0, 0x0014, 0x21};
  ZipWriterEntry again{"ro.txt", "second", 8, 0, 0x0014, 0x21};
  const std::string full = Native(Out() / "ro.txt");
  const std::string message = Extract(BuildZip({readOnly, again}).bytes);
  EXPECT_EQ(message.rfind("EFCreateError: Cannot create file \"" + full + "\". ", 0), 0u) << message;
  EXPECT_GT(message.size(), ("EFCreateError: Cannot create file \"" + full + "\". ").size());
  EXPECT_FALSE(fs::exists(Out()));

  // Over a read-only file left by an earlier extraction.
  ASSERT_EQ(Extract(BuildZip({readOnly}).bytes), "");
  EXPECT_EQ(fs::status(Out() / "ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(Extract(BuildZip({again}).bytes).rfind("EFCreateError: Cannot create file \"" + full, 0), 0u);
  EXPECT_EQ(ReadBytes(Out() / "ro.txt"), "first");
}

TEST_F(ExtractTest, AttributesOnlyForMsDosHosts) {
  ZipWriterEntry unixHost{"unix.txt", "u", 8, 0, 0x0314, 0x01};
  ZipWriterEntry dosHost{"dos.txt", "d", 8, 0, 0x0014, 0x01 | 0x08};
  ASSERT_EQ(Extract(BuildZip({unixHost, dosHost}).bytes), "");
  EXPECT_NE(fs::status(Out() / "unix.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(fs::status(Out() / "dos.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

int64_t LastWriteSeconds(const fs::path& file) {
  const auto time = std::chrono::file_clock::to_sys(fs::last_write_time(file));
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

TEST_F(ExtractTest, ModificationTimes) {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  // 2021-03-05 14:30:10 in the tests' time zone, three hours east of UTC.
  const int64_t stamped = 1614954610 - 3 * 3600;
  struct Case {
    const char* name;
    uint32_t dosTime;
    bool stamped;
  } cases[] = {
      {"valid", kDosDate2021, true},
      {"date 0", 0, false},
      {"seconds field 30", (kDosDate2021 & ~0x1Fu) | 30, false},
      {"hour 24", (kDosDate2021 & ~(0x1Fu << 11)) | (24u << 11), false},
      {"February 30", (41u << 25) | (2u << 21) | (30u << 16), false},
      {"February 29 of a leap year", (40u << 25) | (2u << 21) | (29u << 16), true},
  };
  std::vector<ZipWriterEntry> entries;
  for (const Case& c : cases) {
    ZipWriterEntry entry{c.name, "x"};
    entry.dosTime = c.dosTime;
    entries.push_back(entry);
  }
  ASSERT_EQ(Extract(BuildZip(entries).bytes), "");
  for (const Case& c : cases) {
    const int64_t written = LastWriteSeconds(Out() / c.name);
    if (c.stamped) {
      if (c.dosTime == kDosDate2021) {
        EXPECT_EQ(written, stamped) << c.name;
      }
      EXPECT_LT(written, now - 86400) << c.name;
    } else {
      EXPECT_GT(written, now - 86400) << c.name;
    }
  }
}

TEST(DosDateTimeTest, Conversion) {
  struct Case {
    uint32_t value;
    bool valid;
    int64_t seconds;
  } cases[] = {
      {kDosDate2021, true, 1614954610},
      {(0u << 25) | (1u << 21) | (1u << 16), true, 315532800},
      {(127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u, true, 4354819198},
      {0, false, 0},
      {(44u << 25) | (4u << 21) | (31u << 16), false, 0},
      {(41u << 25) | (13u << 21) | (1u << 16), false, 0},
      {(41u << 25) | (1u << 21) | (1u << 16) | (60u << 5), false, 0},
      // Leap years: every fourth, but not 2100, a century not divisible by 400; 2000 is.
      {(20u << 25) | (2u << 21) | (29u << 16), true, 951782400},
      {(120u << 25) | (2u << 21) | (29u << 16), false, 0},
      {(120u << 25) | (3u << 21) | (1u << 16), true, 4107542400},
      {(104u << 25) | (2u << 21) | (29u << 16), true, 3602620800},
  };
  for (const Case& c : cases) {
    const DosDateTime t = DecodeDosDateTime(c.value);
    EXPECT_EQ(IsValidDosDateTime(t), c.valid) << std::hex << c.value;
    if (c.valid) {
      EXPECT_EQ(ToUnixSeconds(t), c.seconds) << std::hex << c.value;
    }
  }
}

// Segments of at most 60 characters under `base`, adding up to exactly `length`.
std::string SegmentsTo(size_t baseLength, size_t length) {
  std::string relative;
  size_t size = baseLength;
  while (size < length) {
    size_t segment = std::min<size_t>(60, length - size - 1);
    if (length - size - 1 - segment == 1) --segment;  // never leave room for an empty one
    relative += (relative.empty() ? "" : "/") + std::string(segment, 'd');
    size += 1 + segment;
  }
  return relative;
}

// Folders are checked by their absolute path (248 characters or more is too long), files
// by the path as joined (260 or more) when their times or attributes are set.
TEST_F(ExtractTest, PathLengthLimits) {
  const std::string base = Native(Out());
  const std::string tooLong = "EPathTooLongException: The specified path is too long";
  ZipWriterEntry plain{"", "x"};
  plain.madeBy = 0x0314;
  plain.dosTime = 0;
  struct Case {
    const char* name;
    std::string entry;
    std::string expected;
    bool timesAndAttributes = true;
  } cases[] = {
      // The staged file beside it is longer than the classic path limit.
      {"folder of 247", SegmentsTo(base.size(), 247) + "/f.txt", ""},
      {"folder of 248", SegmentsTo(base.size(), 248) + "/f.txt", tooLong},
      {"file of 259", SegmentsTo(base.size(), 200) + "/" + std::string(58, 'f'), ""},
      {"file of 260", SegmentsTo(base.size(), 200) + "/" + std::string(59, 'f'), tooLong},
      {"file of 260, nothing to set", SegmentsTo(base.size(), 200) + "/" + std::string(59, 'f'), "",
       false},
  };
  for (const Case& c : cases) {
    fs::remove_all(Out());
    ZipWriterEntry entry = c.timesAndAttributes ? ZipWriterEntry{c.entry, "x"} : plain;
    entry.name = c.entry;
    EXPECT_EQ(Extract(BuildZip({entry}).bytes), c.expected) << c.name;
    EXPECT_EQ(fs::exists(Out() / c.entry), c.expected.empty()) << c.name;
  }

  // A relative destination: the folder's absolute path is what counts.
  fs::create_directories(Out());
  const fs::path previous = fs::current_path();
  fs::current_path(Out());
  const std::string relative = SegmentsTo(base.size() + 2, 248);
  WriteBytes(scratch_.path() / "archive.zip", BuildZip({{relative + "/f.txt", "x"}}).bytes);
  TZipFile zip(*fs_);
  EXPECT_EQ(ErrorOf([&] {
              zip.Open((scratch_.path() / "archive.zip").u16string(), TZipMode::zmRead);
              zip.ExtractAll(u"r");
            }),
            tooLong);
  fs::current_path(previous);
}

TEST_F(ExtractTest, ObjectReuseAfterEveryFailure) {
  const fs::path good = scratch_.path() / "good.zip";
  const fs::path damaged = scratch_.path() / "damaged.zip";
  const fs::path failing = scratch_.path() / "failing.zip";
  WriteBytes(good, BuildZip({{"ok.txt", "fine"}}).bytes);
  WriteBytes(damaged, "PK\x05\x06 not really");
  ZipWriterEntry bad{"bad.txt", "x"};
  bad.crc = 1;
  WriteBytes(failing, BuildZip({{"early.txt", "e"}, bad}).bytes);
  const std::string missingText = Native(scratch_.path() / "missing.zip");
  struct Case {
    const char* name;
    std::function<void(TZipFile&)> first;
    std::string expected;
  } cases[] = {
      {"missing file", [&](TZipFile& z) { z.Open((scratch_.path() / "missing.zip").u16string(), TZipMode::zmRead); },
       "EFOpenError: Cannot open file \"" + missingText + "\". "},
      {"damaged archive", [&](TZipFile& z) { z.Open(damaged.u16string(), TZipMode::zmRead); },
       "EZipException: Error reading zip file"},
      {"extraction stopped", [&](TZipFile& z) {
         z.Open(failing.u16string(), TZipMode::zmRead);
         z.ExtractAll(Out().u16string());
       }, "EZipException: Bad CRC-32 for entry \"bad.txt\""},
      {"closed", [&](TZipFile& z) { z.ExtractAll(Out().u16string()); },
       "EZipException: File must be open for reading"},
  };
  for (const Case& c : cases) {
    TZipFile zip(*fs_);
    const std::string error = ErrorOf([&] { c.first(zip); });
    EXPECT_EQ(error.substr(0, c.expected.size()), c.expected) << c.name;
    EXPECT_EQ(ErrorOf([&] {
                zip.Open(good.u16string(), TZipMode::zmRead);
                zip.ExtractAll(Out().u16string());
                zip.Close();
                zip.Close();
              }),
              "")
        << c.name;
    EXPECT_EQ(ReadBytes(Out() / "ok.txt"), "fine") << c.name;
    EXPECT_EQ(ErrorOf([&] { zip.ExtractAll(Out().u16string()); }),
              "EZipException: File must be open for reading")
        << c.name;
  }
}

TEST_F(ExtractTest, ProgressFollowsTheCopy) {
  const std::string data(150000, 'p');
  WriteBytes(scratch_.path() / "archive.zip", BuildZip({{"p.bin", data}}).bytes);
  TZipFile zip(*fs_);
  std::vector<int64_t> positions;
  zip.SetOnProgress([&](TZipFile&, const std::u16string& file, const TZipHeader&, int64_t at) {
    EXPECT_EQ(file, Out().u16string() + u"\\p.bin");
    positions.push_back(at);
  });
  zip.Open((scratch_.path() / "archive.zip").u16string(), TZipMode::zmRead);
  zip.ExtractAll(Out().u16string());
  EXPECT_EQ(positions, (std::vector<int64_t>{0, 61440, 122880, 150000}));
}

TEST_F(ExtractTest, NestedArchiveThroughTheFactory) {
  // The release flags only its non-ASCII names (as real tools do); the nested archive
  // flags all of them. Neither may garble the other.
  const WrittenZip inner = BuildZip({{"caf\xC3\xA9.txt", "inner", 8, 0x800}});
  const WrittenZip release = BuildZip({{"\x81" "ber.txt", "cp437"}, {"tallyx.zip", inner.bytes, 0},
                                    {"na\xC3\xAFve.txt", "flagged", 8, 0x800}});
  WriteBytes(scratch_.path() / "release.zip", release.bytes);
  ZipArchiveFactory factory(*fs_);
  std::unique_ptr<Archive> archive = factory.CreateArchive();
  archive->Open((scratch_.path() / "release.zip").u16string(), {});
  EXPECT_EQ(archive->ExtractAll(Out().u16string(), u"tallyx.exe", u""), std::nullopt);
  archive->Close();
  archive->Open((Out() / "tallyx.zip").u16string(), {});
  archive->ExtractAll(Out().u16string(), u"tallyx.exe", u"");
  archive->Close();
  archive->PlaceLastFile();
  EXPECT_EQ(ListTree(Out()), "caf\xC3\xA9.txt;na\xC3\xAFve.txt;tallyx.zip;\xC3\xBC" "ber.txt;");
}

}  // namespace
}  // namespace tallyx
