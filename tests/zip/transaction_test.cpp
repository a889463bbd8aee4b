// Extraction as one transaction: whichever file-system call fails, the installed tree is
// left exactly as it was.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/native_file_system.h"
#include "tests/zip/scratch.h"
#include "tests/zip/zip_writer.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::BuildZip;
using testing::ErrorOf;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::TestEntry;
using testing::WriteBytes;
namespace fs = std::filesystem;

enum class Op { Create, Write, Flush, Rename, Delete, SetTime, Count };
constexpr const char* kOpNames[] = {"create", "write", "flush", "rename", "delete", "set time"};
const std::u16string kInjected = u"injected failure";

// The platform's file system, with the N-th call of one operation failing as the system
// would report it, and a record of the renames and attributes asked for.
class FaultyFileSystem : public FileSystem {
 public:
  FaultyFileSystem(FileSystem& real, Op op, int failAt) : real_(real), op_(op), failAt_(failAt) {}

  bool Triggered() const { return calls_[static_cast<size_t>(op_)] >= failAt_; }
  std::vector<std::u16string> renamedTo;
  std::map<std::u16string, uint8_t> attributes;

  FsError FullPath(const std::u16string& path, std::u16string& full) override {
    return real_.FullPath(path, full);
  }
  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsError& error) override {
    return real_.OpenExclusive(path, error);
  }
  bool DriveExists(const std::u16string& path) override { return real_.DriveExists(path); }
  bool FolderExists(const std::u16string& path) override { return real_.FolderExists(path); }
  bool FileExists(const std::u16string& path) override { return real_.FileExists(path); }
  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    return real_.CreateFolders(folder);
  }
  void RemoveFolder(const std::u16string& folder) override { real_.RemoveFolder(folder); }
  std::vector<std::u16string> ListFiles(const std::u16string& folder) override {
    return real_.ListFiles(folder);
  }
  FsError CheckReplaceable(const std::u16string& path) override {
    return real_.CheckReplaceable(path);
  }
  std::u16string AccessDeniedText() override { return real_.AccessDeniedText(); }

  std::unique_ptr<OutputFile> CreateTempFile(const std::u16string& folder, std::u16string& tempPath,
                                             FsError& error) override {
    if (Fails(Op::Create)) {
      error = kInjected;
      return nullptr;
    }
    std::unique_ptr<OutputFile> file = real_.CreateTempFile(folder, tempPath, error);
    return file ? std::make_unique<FaultyOutput>(*this, std::move(file)) : nullptr;
  }
  FsError Flush(const std::vector<std::u16string>& files) override {
    return Fails(Op::Flush) ? FsError(kInjected) : real_.Flush(files);
  }
  FsError MoveAside(const std::u16string& path, std::u16string& backupPath) override {
    return Fails(Op::Rename) ? FsError(kInjected) : real_.MoveAside(path, backupPath);
  }
  FsError Rename(const std::u16string& from, const std::u16string& to) override {
    if (Fails(Op::Rename)) return kInjected;
    renamedTo.push_back(to);
    return real_.Rename(from, to);
  }
  FsError RemoveFile(const std::u16string& path) override {
    return Fails(Op::Delete) ? FsError(kInjected) : real_.RemoveFile(path);
  }
  int64_t LocalToUtc(int64_t localSeconds) override { return real_.LocalToUtc(localSeconds); }
  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    if (!Fails(Op::SetTime)) real_.SetFileTime(path, kind, utcSeconds);
  }
  void SetAttributes(const std::u16string& path, uint8_t value) override {
    attributes[path] = value;
    real_.SetAttributes(path, value);
  }

 private:
  class FaultyOutput : public OutputFile {
   public:
    FaultyOutput(FaultyFileSystem& owner, std::unique_ptr<OutputFile> file)
        : owner_(owner), file_(std::move(file)) {}
    size_t Write(const void* buffer, size_t count) override {
      return owner_.Fails(Op::Write) ? 0 : file_->Write(buffer, count);
    }

   private:
    FaultyFileSystem& owner_;
    std::unique_ptr<OutputFile> file_;
  };

  bool Fails(Op op) { return ++calls_[static_cast<size_t>(op)] == failAt_ && op == op_; }

  FileSystem& real_;
  Op op_;
  int failAt_;
  std::array<int, static_cast<size_t>(Op::Count)> calls_{};
};

// Every file and folder under `root` with what an installation must keep: bytes, time of
// last write and write permission.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> items;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::u8string relative = fs::relative(item.path(), root).generic_u8string();
    const std::string name(relative.begin(), relative.end());
    if (item.is_directory()) {
      items[name + "/"] = "";
      continue;
    }
    const auto writable = item.status().permissions() & fs::perms::owner_write;
    items[name] = ReadBytes(item.path()) + "|" +
                  std::to_string(item.last_write_time().time_since_epoch().count()) +
                  (writable == fs::perms::none ? "|read-only" : "");
  }
  return items;
}

class TransactionTest : public ::testing::Test {
 protected:
  // An installed release: 18 files in three folders, the program first.
  void Install() {
    fs::remove_all(Out());
    std::vector<std::string> names = {"tallyx.exe", "lisez-moi.txt"};
    for (int i = 0; i < 8; ++i) names.push_back("data/table" + std::to_string(i) + ".csv");
    for (int i = 0; i < 8; ++i) names.push_back("docs/page" + std::to_string(i) + ".txt");
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    for (const std::string& name : names) {
      fs::create_directories((Out() / name).parent_path());
      WriteBytes(Out() / name, "installed " + name);
      fs::last_write_time(Out() / name, old);
    }
  }
  // The next release: every installed file again, and two in a new folder.
  std::vector<TestEntry> Release() const {
    std::vector<TestEntry> entries;
    for (const auto& [name, content] : Snapshot(Out())) {
      if (name.back() != '/') entries.push_back({name, "new " + name});
    }
    entries.push_back({"plugins/extra/one.dll", "plugin one"});
    entries.push_back({"plugins/extra/two.dll", std::string(100000, 't')});
    return entries;
  }
  std::string Extract(FileSystem& fileSystem, const std::vector<TestEntry>& entries) {
    WriteBytes(scratch_.path() / "release.zip", BuildZip(entries).bytes);
    TZipFile zip(fileSystem);
    return ErrorOf([&] {
      zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
      zip.ExtractAll(Out().u16string(), u"tallyx.exe");
    });
  }
  fs::path Out() const { return scratch_.path() / "Tallyx"; }

  std::unique_ptr<FileSystem> real_ = CreateNativeFileSystem();
  ScratchFolder scratch_;
};

TEST_F(TransactionTest, EveryFailingCallLeavesTheTreeAsItWas) {
  Install();
  const std::vector<TestEntry> release = Release();
  ASSERT_EQ(release.size(), 20u);
  struct Case {
    Op op;
    std::string error;  // what the extraction raises; empty: it succeeds all the same
  } cases[] = {
      {Op::Create, "EFCreateError: Cannot create file \""},
      {Op::Write, "EWriteError: Stream write error"},
      {Op::Flush, "EWriteError: Stream write error"},
      {Op::Rename, "EFCreateError: Cannot create file \""},
      {Op::Delete, ""},
      {Op::SetTime, ""},
  };
  for (const Case& c : cases) {
    int runs = 0;
    for (int n = 1;; ++n) {
      Install();
      const auto before = Snapshot(Out());
      FaultyFileSystem faulty(*real_, c.op, n);
      const std::string error = Extract(faulty, release);
      if (!faulty.Triggered()) {
        EXPECT_EQ(error, "") << kOpNames[static_cast<int>(c.op)];
        break;
      }
      ++runs;
      const std::string where = std::string(kOpNames[static_cast<int>(c.op)]) + " #" + std::to_string(n);
      if (!c.error.empty()) {
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << where;
        if (c.error.starts_with("EFCreateError")) {
          EXPECT_TRUE(error.ends_with("\". " + EncodeUtf8(kInjected))) << where << ": " << error;
        }
        EXPECT_EQ(Snapshot(Out()), before) << where;
        continue;
      }
      ASSERT_EQ(error, "") << where;
      for (const TestEntry& entry : release) {
        EXPECT_EQ(ReadBytes(Out() / entry.name), entry.data) << where << " " << entry.name;
      }
      // A backup that could not be deleted is left for the next extraction, which
      // removes it.
      std::vector<std::string> leftovers;
      for (const auto& [name, content] : Snapshot(Out())) {
        if (name.find(".~tx") != std::string::npos) leftovers.push_back(name);
      }
      EXPECT_EQ(leftovers.size(), c.op == Op::Delete ? 1u : 0u) << where;
      if (c.op == Op::Delete) {
        EXPECT_EQ(Extract(*real_, release), "") << where;
        EXPECT_EQ(Snapshot(Out()).count(leftovers[0]), 0u) << where;
      }
    }
    EXPECT_GE(runs, c.op == Op::Flush ? 1 : 18) << kOpNames[static_cast<int>(c.op)];
  }
}

TEST_F(TransactionTest, TheProgramGoesInLast) {
  Install();
  FaultyFileSystem recorder(*real_, Op::Count, 0);
  ASSERT_EQ(Extract(recorder, Release()), "");
  ASSERT_FALSE(recorder.renamedTo.empty());
  EXPECT_EQ(EncodeUtf8(recorder.renamedTo.back()), EncodeUtf8(Out().u16string() + u"\\tallyx.exe"));
}

TEST_F(TransactionTest, LeftoversOfAnInterruptedRunAreCleared) {
  Install();
  const std::vector<TestEntry> release = Release();
  fs::create_directories(Out() / "untouched");
  const struct {
    const char* name;
    bool stays;
  } files[] = {
      {"data/.~tx0000abcd.tmp", false},            // a staged copy
      {"docs/page0.txt.~tx00001234.bak", false},   // a backup of a file that is there
      {"docs/lost.txt.~tx00005678.bak", false},    // the only copy of a file: put back
      {".~tx89abcdef.bak", false},                 // a backup whose name did not fit
      {"docs/keep.~tx1234.bak.txt", true},         // names that only look alike
      {"notes.tmp", true},
      {"untouched/.~tx00000001.tmp", true},        // a folder the release does not use
  };
  for (const auto& f : files) WriteBytes(Out() / f.name, "leftover");
  ASSERT_EQ(Extract(*real_, release), "");
  for (const auto& f : files) EXPECT_EQ(fs::exists(Out() / f.name), f.stays) << f.name;
  EXPECT_EQ(ReadBytes(Out() / "docs/lost.txt"), "leftover");
}

TEST_F(TransactionTest, AttributesLeaveTheVolumeBitOut) {
  TestEntry label{"label.txt", "x"};
  label.externalAttributes = 0x28;
  TestEntry readOnly{"ro.txt", "x"};
  readOnly.externalAttributes = 0x01 | 0x02 | 0x04 | 0x08 | 0x20;
  FaultyFileSystem recorder(*real_, Op::Count, 0);
  ASSERT_EQ(Extract(recorder, {label, readOnly}), "");
  std::map<std::string, int> set;
  for (const auto& [path, value] : recorder.attributes) {
    set[EncodeUtf8(path.substr(path.find_last_of(u"\\/") + 1))] = value;
  }
  EXPECT_EQ(set, (std::map<std::string, int>{{"label.txt", 0x20}, {"ro.txt", 0x27}}));
}

}  // namespace
}  // namespace tallyx
