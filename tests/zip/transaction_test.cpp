// Extraction as one transaction: whichever file-system call fails, or two in a row, or
// wherever the process is killed, no old file is lost, the program is new only when every
// file is, and the next run leaves exactly the release and nothing of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/native_file_system.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "base/win_path.h"
#include "zip/forwarding_file_system.h"
#include "zip/journal.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::ErrorOf;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

enum class Op { Create, Write, Sync, Rename, Delete, SetTime, Folder, Count };
constexpr const char* kOpNames[] = {"create", "write", "sync", "rename", "delete", "set time", "folder"};
const std::u16string kInjected = u"injected failure";

// Thrown at every call once the process is "killed": nothing more reaches the disk.
struct Killed {};

// The platform's file system with faults: the N-th call of one operation fails (with a
// chosen outcome, `times` calls in a row), optionally the M-th call of another after it,
// or the process is killed at the N-th call that changes anything. Pauses are recorded,
// not slept. The extraction's workers write and close files at the same time: every
// count is kept under one lock.
class FaultyFileSystem : public FileSystem {
 public:
  explicit FaultyFileSystem(FileSystem& real) : real_(real) {}

  struct Fault {
    Op op = Op::Count;
    int at = 0;  // 1-based call number of `op`
    FsOutcome outcome = FsOutcome::Other;
    int times = 1;
  };
  Fault first, second;  // `second` counts its calls from the moment `first` fired
  int killAt = 0;       // 1-based number of the call that changes anything

  bool FirstFired() const { return firstFired_; }
  // The number of the changing call at which `first` fired first.
  int FirstFiredAt() const { return firstFiredAt_; }
  bool SecondFired() const { return secondFired_; }
  bool WasKilled() const { return killed_; }
  // How many calls changed something before the first file was created.
  int ChangesBeforeFirstCreate() const { return changesBeforeCreate_; }
  // A failing write takes half of what it was given, as a full disk does.
  bool tearWrites = false;
  // A failing creation finds somebody else's file there, as when another program takes
  // the name between the look and the creation.
  bool occupyOnFailedCreate = false;
  std::vector<std::u16string> occupied;
  // Every create, rename and delete under this folder is refused as in use until the
  // pauses add up to `heldForMs` (virtual time: nothing is slept).
  std::u16string heldFolder;
  int heldForMs = 0;
  bool holdCreates = true;
  int Waited() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int sum = 0;
    for (int pause : pauses) sum += pause;
    return sum;
  }
  std::vector<int> pauses;
  std::vector<std::u16string> renamedTo;
  std::map<std::u16string, uint8_t> attributes;

  FsResult FullPath(const std::u16string& path, std::u16string& full) override {
    Alive();
    return real_.FullPath(path, full);
  }
  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) override {
    Alive();
    return real_.OpenExclusive(path, result);
  }
  bool DriveExists(const std::u16string& path) override { return Alive(), real_.DriveExists(path); }
  bool FolderExists(const std::u16string& path) override { return Alive(), real_.FolderExists(path); }
  bool FileExists(const std::u16string& path) override { return Alive(), real_.FileExists(path); }
  std::vector<std::u16string> CreateFolders(const std::u16string& folder) override {
    if (!Call(Op::Folder).Done()) return {};
    return real_.CreateFolders(folder);
  }
  FsResult RemoveFolder(const std::u16string& folder) override {
    const FsResult injected = Call(Op::Folder);
    return injected.Done() ? real_.RemoveFolder(folder) : injected;
  }
  FsResult CheckReplaceable(const std::u16string& path) override {
    Alive();
    return real_.CheckReplaceable(path);
  }
  std::u16string AccessDeniedText() override { return real_.AccessDeniedText(); }
  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    result = Call(Op::Create);
    if (result.Done() && holdCreates) result = Held(path);
    if (!result.Done()) {
      if (occupyOnFailedCreate) {
        real_.OpenOutput(path, OutputMode::CreateNew, result).reset();
        result = FsResult::Failure(FsOutcome::AlreadyExists, kInjected);
        occupied.push_back(path);
      }
      return nullptr;
    }
    std::unique_ptr<OutputFile> file = real_.OpenOutput(path, mode, result);
    return file ? std::make_unique<FaultyOutput>(*this, std::move(file)) : nullptr;
  }
  // Durability is not what these tests look at, and a sync per run would dominate them.
  FsResult MakeDurable(const std::vector<std::u16string>&) override { return Call(Op::Sync); }
  FsResult SyncFolder(const std::u16string&) override { return Call(Op::Sync); }
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    FsResult injected = Call(Op::Rename);
    if (injected.Done()) injected = Held(from);
    if (!injected.Done()) return injected;
    renamedTo.push_back(to);
    return real_.Rename(from, to);
  }
  FsResult Replace(const std::u16string& from, const std::u16string& to) override {
    const FsResult injected = Call(Op::Rename);
    if (!injected.Done()) return injected;
    renamedTo.push_back(to);
    return real_.Replace(from, to);
  }
  FsResult RemoveFile(const std::u16string& path) override {
    FsResult injected = Call(Op::Delete);
    if (injected.Done()) injected = Held(path);
    return injected.Done() ? real_.RemoveFile(path) : injected;
  }
  int64_t LocalToUtc(int64_t localSeconds) override { return real_.LocalToUtc(localSeconds); }
  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    if (Call(Op::SetTime).Done()) real_.SetFileTime(path, kind, utcSeconds);
  }
  void SetAttributes(const std::u16string& path, uint8_t value) override {
    Alive();
    std::lock_guard<std::mutex> lock(mutex_);
    attributes[path] = value;
    real_.SetAttributes(path, value);
  }
  void Pause(int milliseconds) override {
    Alive();
    std::lock_guard<std::mutex> lock(mutex_);
    pauses.push_back(milliseconds);
  }

 private:
  class FaultyOutput : public OutputFile {
   public:
    FaultyOutput(FaultyFileSystem& owner, std::unique_ptr<OutputFile> file)
        : owner_(owner), file_(std::move(file)) {}
    size_t Write(const void* buffer, size_t count) override {
      if (owner_.Call(Op::Write).Done()) return file_->Write(buffer, count);
      return owner_.tearWrites ? file_->Write(buffer, count / 2) : 0;
    }
    FsResult Sync() override { return owner_.Call(Op::Sync); }
    void SetTimes(int64_t utcSeconds) override {
      if (owner_.Call(Op::SetTime).Done()) file_->SetTimes(utcSeconds);
    }
    FsResult Close() override {
      const FsResult injected = owner_.Call(Op::Sync);
      return injected.Done() ? file_->Close() : injected;
    }

   private:
    FaultyFileSystem& owner_;
    std::unique_ptr<OutputFile> file_;
  };

  void Alive() const {
    if (killed_) throw Killed{};
  }
  FsResult Held(const std::u16string& path) const {
    if (heldFolder.empty() || !path.starts_with(heldFolder) || Waited() >= heldForMs) return {};
    return FsResult::Failure(FsOutcome::InUse, kInjected);
  }
  FsResult Call(Op op) {
    std::lock_guard<std::mutex> lock(mutex_);
    Alive();
    if (op == Op::Create && changesBeforeCreate_ < 0) changesBeforeCreate_ = changes_;
    if (++changes_ == killAt) {
      killed_ = true;
      throw Killed{};
    }
    const size_t index = static_cast<size_t>(op);
    ++calls_[index];
    if (firstFired_) ++afterFirst_[index];
    if (Fires(first, op, calls_[index], firstCount_)) {
      if (!firstFired_) firstFiredAt_ = changes_;
      firstFired_ = true;
      return FsResult::Failure(first.outcome, kInjected);
    }
    if (firstFired_ && Fires(second, op, afterFirst_[index], secondCount_)) {
      secondFired_ = true;
      return FsResult::Failure(second.outcome, kInjected);
    }
    return {};
  }
  static bool Fires(const Fault& fault, Op op, int call, int& fired) {
    if (op != fault.op || call < fault.at || fired >= fault.times) return false;
    ++fired;
    return true;
  }

  FileSystem& real_;
  mutable std::mutex mutex_;
  std::atomic<bool> killed_{false};
  std::array<int, static_cast<size_t>(Op::Count)> calls_{};
  std::array<int, static_cast<size_t>(Op::Count)> afterFirst_{};
  int firstCount_ = 0, secondCount_ = 0;
  bool firstFired_ = false, secondFired_ = false;
  int changes_ = 0;
  int firstFiredAt_ = 0;
  int changesBeforeCreate_ = -1;
};

using Tree = std::map<std::string, std::string>;

// Every file and folder under `root`: bytes, and with `details` the time of last write and
// write permission too.
Tree Snapshot(const fs::path& root, bool details = true) {
  Tree items;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::u8string relative = fs::relative(item.path(), root).generic_u8string();
    const std::string name(relative.begin(), relative.end());
    if (item.is_directory()) {
      items[name + "/"] = "";
      continue;
    }
    std::string value = ReadBytes(item.path());
    if (details) {
      const auto writable = item.status().permissions() & fs::perms::owner_write;
      value += "|" + std::to_string(item.last_write_time().time_since_epoch().count()) +
               (writable == fs::perms::none ? "|read-only" : "");
    }
    items[name] = value;
  }
  return items;
}

// The files of ours: staged copies, backups and the journal all carry the marker.
std::vector<std::string> Ours(const Tree& tree) {
  std::vector<std::string> ours;
  for (const auto& [name, value] : tree) {
    if (name.find(".~tx") != std::string::npos) ours.push_back(name);
  }
  return ours;
}

#ifdef _WIN32
// Every file call costs far more under Wine: there a sample of the kill points is enough.
constexpr int kStride = 5;
#else
constexpr int kStride = 1;
#endif

// A name as long as a file system takes, so that its backup gets the bare suffix.
const std::string kLongName = "docs/" + std::string(240, 'n') + ".txt";

class TransactionTest : public ::testing::Test {
 protected:
  // An installed release: the program, 17 files in three folders and one long name.
  void Install() {
    fs::remove_all(Out());
    std::vector<std::string> names = {"tallyx.exe", "lisez-moi.txt", kLongName};
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
  std::vector<ZipWriterEntry> Release() const {
    std::vector<ZipWriterEntry> entries;
    for (const auto& [name, content] : Snapshot(Out())) {
      if (name.back() != '/') entries.push_back({name, "new " + name});
      // Past 260 characters a path takes no times or attributes, so the entry has none.
      if (name == kLongName) {
        entries.back().madeBy = 0x0314;
        entries.back().dosTime = 0;
      }
    }
    entries.push_back({"plugins/extra/one.dll", "plugin one"});
    entries.push_back({"plugins/extra/two.dll", std::string(100000, 't')});
    return entries;
  }
  Tree ReleaseTree(const std::vector<ZipWriterEntry>& entries) const {
    Tree tree;
    for (const ZipWriterEntry& entry : entries) {
      tree[entry.name] = entry.data;
      for (size_t slash = entry.name.find('/'); slash != std::string::npos;
           slash = entry.name.find('/', slash + 1)) {
        tree[entry.name.substr(0, slash + 1)] = "";
      }
    }
    return tree;
  }
  // Installs the release as the updater does: the program held back, then put in place.
  std::string Extract(FileSystem& fileSystem, const std::vector<ZipWriterEntry>& entries,
                      const WaitBudgets& budgets = {}) {
    WriteBytes(scratch_.path() / "release.zip", BuildZip(entries).bytes);
    TZipFile zip(fileSystem);
    zip.SetWaitBudgets(budgets);
    zip.SetWorkerCount(workers_);
    try {
      return ErrorOf([&] {
        zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
        zip.ExtractAll(Out().u16string(), u"tallyx.exe");
        zip.Close();
        zip.CompleteExtraction();
      });
    } catch (const Killed&) {
      return "killed";
    }
  }
  // What must hold after any run, however it ended: every old file's bytes are still in
  // the folder unless it already holds the release, and the program is new only when
  // every file is.
  void ExpectNothingLost(const Tree& before, const std::vector<ZipWriterEntry>& release,
                         const std::string& where) {
    const Tree now = Snapshot(Out(), false);
    std::multiset<std::string> contents;
    for (const auto& [name, value] : now) contents.insert(value);
    Tree withoutOurs = now;
    for (const std::string& name : Ours(now)) withoutOurs.erase(name);
    if (withoutOurs == ReleaseTree(release)) return;
    for (const auto& [name, value] : before) {
      if (name.back() == '/') continue;
      const std::string bytes = value.substr(0, value.find('|'));
      EXPECT_TRUE(contents.count(bytes)) << where << ": lost " << name;
    }
    if (now.count("tallyx.exe") && now.at("tallyx.exe") == "new tallyx.exe") {
      for (const ZipWriterEntry& entry : release) {
        EXPECT_EQ(now.count(entry.name) ? now.at(entry.name) : "", entry.data)
            << where << ": the program is new, " << entry.name << " is not";
      }
    }
  }
  // A clean run afterwards finishes whatever was left and installs the release exactly.
  void ExpectCleanRunInstalls(const std::vector<ZipWriterEntry>& release, const std::string& where) {
    FaultyFileSystem clean(*real_);
    EXPECT_EQ(Extract(clean, release), "") << where;
    const Tree after = Snapshot(Out(), false);
    EXPECT_EQ(after, ReleaseTree(release)) << where;
  }
  fs::path Out() const { return scratch_.path() / "Tallyx"; }

  std::unique_ptr<FileSystem> real_ = CreateNativeFileSystem();
  ScratchFolder scratch_;
  unsigned workers_ = 1;  // the tests that sweep the pool set more
};

// Worker counts the sweeps run with: one, which keeps the archive order of every call,
// and a pool larger than the entries' own order can keep.
constexpr unsigned kSweptWorkers[] = {1, 3};

TEST_F(TransactionTest, EveryFailingCallLeavesTheTreeAsItWasOrInstallsTheRelease) {
  for (const unsigned workers : kSweptWorkers) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    workers_ = workers;
    Install();
    const std::vector<ZipWriterEntry> release = Release();
    ASSERT_EQ(release.size(), 21u);
    struct Case {
      Op op;
      std::string error;  // what a failing run raises
      size_t minimumRuns;
    } cases[] = {
        {Op::Create, "EFCreateError: Cannot create file \"", 21},
        {Op::Write, "EWriteError: Stream write error", 21},
        {Op::Sync, "EWriteError: Stream write error", 21},
        {Op::Rename, "EFCreateError: Cannot create file \"", 40},
        {Op::Delete, "", 19},
        {Op::SetTime, "", 38},
        {Op::Folder, "EFCreateError: Cannot create file \"", 1},
    };
    for (const Case& c : cases) {
      size_t runs = 0;
      for (int n = 1;; ++n) {
        Install();
        const Tree before = Snapshot(Out());
        FaultyFileSystem faulty(*real_);
        faulty.first = {c.op, n};
        const std::string error = Extract(faulty, release);
        if (!faulty.FirstFired()) {
          EXPECT_EQ(error, "") << kOpNames[static_cast<int>(c.op)];
          break;
        }
        ++runs;
        const std::string where = std::string(kOpNames[static_cast<int>(c.op)]) + " #" + std::to_string(n);
        const Tree now = Snapshot(Out());
        if (!error.empty()) {
          EXPECT_FALSE(c.error.empty()) << where << ": " << error;
          EXPECT_EQ(error.substr(0, c.error.size()), c.error) << where;
          if (now != before) {
            // Writing or flushing the Commit itself failed: the commit is undecided, every new
            // file in place and every old one aside, and the next run finishes the way the
            // journal then reads.
            EXPECT_TRUE(c.op == Op::Write || c.op == Op::Sync) << where;
            Tree content = Snapshot(Out(), false);
            for (const std::string& name : Ours(content)) content.erase(name);
            EXPECT_EQ(content, ReleaseTree(release)) << where;
            ExpectCleanRunInstalls(release, where);
          }
          continue;
        }
        // A file that could not be deleted stays, with the journal that names it, until
        // the next run.
        Tree content = Snapshot(Out(), false);
        const std::vector<std::string> ours = Ours(content);
        // A flush that fails at the end keeps the journal for the next run to remove.
        EXPECT_LE(ours.size(), c.op == Op::Delete ? 2u : c.op == Op::Sync ? 1u : 0u) << where;
        for (const std::string& name : ours) content.erase(name);
        EXPECT_EQ(content, ReleaseTree(release)) << where;
        if (!ours.empty()) ExpectCleanRunInstalls(release, where);
      }
      EXPECT_GE(runs, c.minimumRuns) << kOpNames[static_cast<int>(c.op)];
    }
  }
}

TEST_F(TransactionTest, AFailingUndoKeepsEveryOldFileUntilARunFinishesIt) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  int pairs = 0;
  for (int n = 1;; ++n) {
    bool commitFailed = false;
    for (int m = 1;; m += kStride) {
      Install();
      const Tree before = Snapshot(Out());
      FaultyFileSystem faulty(*real_);
      faulty.first = {Op::Rename, n};
      faulty.second = {Op::Rename, m};
      const std::string error = Extract(faulty, release);
      commitFailed = faulty.FirstFired();
      if (!faulty.SecondFired()) break;
      ++pairs;
      const std::string where = "rename #" + std::to_string(n) + ", then undo rename #" + std::to_string(m);
      EXPECT_NE(error, "") << where;
      ExpectNothingLost(before, release, where);
      // The recovery itself fails once, then a run finishes it.
      FaultyFileSystem again(*real_);
      again.first = {Op::Rename, 1};
      EXPECT_NE(Extract(again, release), "") << where;
      ExpectNothingLost(before, release, where + ", failed recovery");
      ExpectCleanRunInstalls(release, where);
    }
    if (!commitFailed) break;
  }
  EXPECT_GE(pairs, 40 / kStride);
}

TEST_F(TransactionTest, AKillAnywhereThenAKillDuringRecoveryLosesNothing) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  int kills = 0, renameKills = 0, recoveryKills = 0;
  for (int n = 1;; n += kStride) {
    Install();
    const Tree before = Snapshot(Out());
    FaultyFileSystem faulty(*real_);
    faulty.killAt = n;
    if (Extract(faulty, release) != "killed") break;
    ++kills;
    const std::string where = "killed at call " + std::to_string(n);
    ExpectNothingLost(before, release, where);
    // Renames are where a kill leaves a mix: at some of them the next run is killed too,
    // at each call of its recovery (the calls before it creates anything new).
    if (!faulty.renamedTo.empty() && renameKills++ % 8 == 0) {
      const fs::path copy = scratch_.path() / "copy";
      fs::remove_all(copy);
      fs::copy(Out(), copy, fs::copy_options::recursive);
      FaultyFileSystem counter(*real_);
      counter.first = {Op::Create, 1, FsOutcome::Other, 1000000};
      Extract(counter, release);
      for (int k = 1; k <= counter.ChangesBeforeFirstCreate(); k += kStride) {
        fs::remove_all(Out());
        fs::copy(copy, Out(), fs::copy_options::recursive);
        FaultyFileSystem second(*real_);
        second.killAt = k;
        const std::string also = where + ", then at recovery call " + std::to_string(k);
        ASSERT_EQ(Extract(second, release), "killed") << also;
        ExpectNothingLost(before, release, also);
        ExpectCleanRunInstalls(release, also);
        ++recoveryKills;
      }
    }
    ExpectCleanRunInstalls(release, where);
  }
  EXPECT_GE(kills, 100 / kStride);
  EXPECT_GE(recoveryKills, 100 / kStride / kStride);
  std::printf("%d kills, %d of them then at recovery\n", kills, recoveryKills);
}

// The same kills with a pool: which call comes N-th now depends on how the workers
// interleave, so the sweep takes every third call and checks the invariants alone.
TEST_F(TransactionTest, AKillAnywhereWithThePoolLosesNothing) {
  workers_ = 3;
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  int kills = 0;
  for (int n = 1;; n += 3 * kStride) {
    Install();
    const Tree before = Snapshot(Out());
    FaultyFileSystem faulty(*real_);
    faulty.killAt = n;
    if (Extract(faulty, release) != "killed") break;
    ++kills;
    const std::string where = "killed at call " + std::to_string(n);
    ExpectNothingLost(before, release, where);
    ExpectCleanRunInstalls(release, where);
  }
  EXPECT_GE(kills, 100 / 3 / kStride);
}

// After a recovery that stopped on a failure, the same object finishes it before
// anything new joins the journal.
TEST_F(TransactionTest, ARecoveryThatStoppedIsFinishedBeforeTheNextArchive) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  for (int n = 1;; ++n) {
    Install();
    FaultyFileSystem killed(*real_);
    killed.killAt = n;
    ASSERT_EQ(Extract(killed, release), "killed");
    if (killed.renamedTo.size() >= 10) break;
  }
  WriteBytes(scratch_.path() / "release.zip", BuildZip(release).bytes);
  FaultyFileSystem fileSystem(*real_);
  fileSystem.first = {Op::Rename, 3};
  TZipFile zip(fileSystem);
  zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
  EXPECT_THROW(zip.ExtractAll(Out().u16string(), u"tallyx.exe"), EFCreateError);
  zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
  zip.ExtractAll(Out().u16string(), u"tallyx.exe");
  zip.Close();
  zip.CompleteExtraction();
  EXPECT_EQ(Snapshot(Out(), false), ReleaseTree(release));
}

TEST_F(TransactionTest, TheProgramGoesInLastOfAllArchives) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  WriteBytes(scratch_.path() / "release.zip", BuildZip(release).bytes);
  WriteBytes(scratch_.path() / "inner.zip",
             BuildZip({{"inner/one.txt", "inner one"}, {"docs/page0.txt", "inner page"}}).bytes);
  FaultyFileSystem recorder(*real_);
  TZipFile zip(recorder);
  zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
  zip.ExtractAll(Out().u16string(), u"tallyx.exe");
  EXPECT_EQ(ReadBytes(Out() / "tallyx.exe"), "installed tallyx.exe");
  zip.Open((scratch_.path() / "inner.zip").u16string(), TZipMode::zmRead);
  zip.ExtractAll(Out().u16string(), u"tallyx.exe");
  EXPECT_EQ(ReadBytes(Out() / "tallyx.exe"), "installed tallyx.exe");
  EXPECT_EQ(ReadBytes(Out() / "docs/page0.txt"), "inner page");
  zip.CompleteExtraction();
  EXPECT_EQ(ReadBytes(Out() / "tallyx.exe"), "new tallyx.exe");
  ASSERT_FALSE(recorder.renamedTo.empty());
  EXPECT_EQ(EncodeUtf8(recorder.renamedTo.back()), EncodeUtf8(Out().u16string() + u"\\tallyx.exe"));
  EXPECT_EQ(Ours(Snapshot(Out())), std::vector<std::string>{});
}

// The program goes in only once both archives are in place: a second archive that fails
// rolls the whole installation back, so the old program still names the old release.
TEST_F(TransactionTest, AFailedSecondArchiveRollsTheReleaseBack) {
  Install();
  const Tree before = Snapshot(Out());
  ZipWriterEntry damaged{"inner/two.txt", "inner two"};
  damaged.crc = 1;
  WriteBytes(scratch_.path() / "release.zip", BuildZip(Release()).bytes);
  WriteBytes(scratch_.path() / "inner.zip",
             BuildZip({{"tallyx.exe", "inner program"}, {"inner/one.txt", "one"}, damaged}).bytes);
  FaultyFileSystem fileSystem(*real_);
  TZipFile zip(fileSystem);
  zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
  zip.ExtractAll(Out().u16string(), u"tallyx.exe");
  zip.Open((scratch_.path() / "inner.zip").u16string(), TZipMode::zmRead);
  EXPECT_THROW(zip.ExtractAll(Out().u16string(), u"tallyx.exe"), EZipException);
  Tree now = Snapshot(Out());
  EXPECT_EQ(Ours(now), std::vector<std::string>{EncodeUtf8(kJournalName)});
  now.erase(EncodeUtf8(kJournalName));
  EXPECT_EQ(now, before);
  zip.CompleteExtraction();
  EXPECT_EQ(Snapshot(Out()), before);
}

// The nested archive that the release delivered is itself a file of the transaction: a
// failure while reading it must not keep it open against its own undo (Windows would
// refuse to remove it for as long as it is open).
TEST_F(TransactionTest, ANestedArchiveDeliveredByTheReleaseIsUndoneToo) {
  Install();
  const Tree before = Snapshot(Out());
  ZipWriterEntry damaged{"inner/two.txt", "inner two"};
  damaged.crc = 1;
  std::vector<ZipWriterEntry> release = Release();
  release.push_back({"tallyx.zip", BuildZip({{"inner/one.txt", "one"}, damaged}).bytes, 0});
  WriteBytes(scratch_.path() / "release.zip", BuildZip(release).bytes);
  FaultyFileSystem fileSystem(*real_);
  {
    TZipFile zip(fileSystem);
    zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
    zip.ExtractAll(Out().u16string(), u"tallyx.exe");
    zip.Open((Out() / "tallyx.zip").u16string(), TZipMode::zmRead);
    EXPECT_THROW(zip.ExtractAll(Out().u16string(), u"tallyx.exe"), EZipException);
    EXPECT_FALSE(fs::exists(Out() / "tallyx.zip"));
  }
  EXPECT_EQ(fileSystem.pauses, std::vector<int>{});
  EXPECT_EQ(Snapshot(Out()), before);
}

TEST_F(TransactionTest, RetriesWhileAFileIsInUse) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  const struct {
    const char* name;
    FaultyFileSystem::Fault first, second;
    std::string error;
    int minimumPaused, maximumPaused;
  } cases[] = {
      {"a rename refused three times", {Op::Rename, 5, FsOutcome::InUse, 3}, {}, "", 140, 140},
      {"a staged file refused twice", {Op::Create, 4, FsOutcome::InUse, 2}, {}, "", 60, 60},
      {"a backup delete refused once", {Op::Delete, 1, FsOutcome::InUse, 1}, {}, "", 20, 20},
      {"a rename refused past the budget", {Op::Rename, 5, FsOutcome::InUse, 40}, {},
       "EFCreateError: Cannot create file", 30000, 30400},
      {"access denied is not waited for", {Op::Rename, 5, FsOutcome::AccessDenied, 1}, {},
       "EFCreateError: Cannot create file", 0, 0},
      // The undo waits longer than the commit did.
      {"the undo waits out a long hold", {Op::Rename, 9, FsOutcome::Other, 1},
       {Op::Rename, 1, FsOutcome::InUse, 40}, "EFCreateError: Cannot create file", 30000, 60000},
  };
  for (const auto& c : cases) {
    Install();
    const Tree before = Snapshot(Out());
    FaultyFileSystem faulty(*real_);
    faulty.first = c.first;
    faulty.second = c.second;
    const std::string error = Extract(faulty, release);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.name;
    EXPECT_EQ(error.empty(), c.error.empty()) << c.name;
    int paused = 0;
    for (int pause : faulty.pauses) {
      EXPECT_LE(pause, 1000) << c.name;
      paused += pause;
    }
    EXPECT_GE(paused, c.minimumPaused) << c.name;
    EXPECT_LE(paused, c.maximumPaused) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(Snapshot(Out(), false), ReleaseTree(release)) << c.name;
    } else {
      EXPECT_EQ(Snapshot(Out()), before) << c.name;
    }
  }
}

// However many files a release has, the installation waits for files in use within one
// budget: the forward path's, then the undo's.
TEST_F(TransactionTest, WaitsForFilesInUseWithinOneBudgetWhateverTheReleaseSize) {
  const struct {
    int files;
    int heldForMs;     // how long everything stays in use (virtual time)
    bool holdCreates;  // creations too, or only renames and deletions
    bool succeeds;
    int minimumWait, maximumWait;
  } cases[] = {
      // A scanner busy with the folder for 20 s: one wait, then every file goes through.
      {40, 20000, true, true, 20000, 21000},
      {400, 20000, true, true, 20000, 21000},
      // Held for good: the forward budget, then the undo's, whatever the number of files.
      {40, 1 << 30, false, false, 150000, 150000},
      {400, 1 << 30, false, false, 150000, 150000},
  };
  for (const auto& c : cases) {
    fs::remove_all(Out());
    std::vector<ZipWriterEntry> release;
    for (int i = 0; i < c.files; ++i) {
      const std::string name = "folder" + std::to_string(i % 4) + "/file" + std::to_string(i) + ".dat";
      fs::create_directories((Out() / name).parent_path());
      WriteBytes(Out() / name, "installed " + name);
      release.push_back({name, "new " + name});
    }
    const Tree before = Snapshot(Out(), false);
    FaultyFileSystem held(*real_);
    held.heldFolder = Out().u16string();
    held.heldForMs = c.heldForMs;
    held.holdCreates = c.holdCreates;
    const std::string error = Extract(held, release);
    const std::string where = std::to_string(c.files) + " files held " +
                              (c.succeeds ? "for a while" : "for good");
    std::printf("%s: waited %d ms in all, %s\n", where.c_str(), held.Waited(),
                error.empty() ? "installed" : error.c_str());
    EXPECT_EQ(error.empty(), c.succeeds) << where << ": " << error;
    EXPECT_GE(held.Waited(), c.minimumWait) << where;
    EXPECT_LE(held.Waited(), c.maximumWait) << where;
    Tree now = Snapshot(Out(), false);
    for (const std::string& name : Ours(now)) now.erase(name);
    EXPECT_EQ(now, c.succeeds ? ReleaseTree(release) : before) << where;
    // What the undo could not delete stays named in the journal for the next run.
    ExpectCleanRunInstalls(release, where);
  }
}

// An undo that stopped has put the release's new file back under its staged name; a file
// somebody else then makes at the target's name is none of the next recovery's business.
TEST_F(TransactionTest, AFileMadeAtATargetsNameAfterAFailedUndoSurvivesRecovery) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  // The next run installs a release without that file, so only recovery could touch it.
  std::vector<ZipWriterEntry> next = release;
  std::erase_if(next, [](const ZipWriterEntry& e) { return e.name == "plugins/extra/one.dll"; });
  const fs::path taken = Out() / "plugins/extra/one.dll";
  // The last renames put the program in place, after every other file: failing there,
  // the undo has every file of the release to take back.
  FaultyFileSystem recorder(*real_);
  Install();
  ASSERT_EQ(Extract(recorder, release), "");
  const int n = static_cast<int>(recorder.renamedTo.size()) - 1;
  int cases = 0;
  for (int m = 1;; ++m) {
    Install();
    FaultyFileSystem faulty(*real_);
    faulty.first = {Op::Rename, n};
    faulty.second = {Op::Rename, m, FsOutcome::Other, 1000};
    Extract(faulty, release);
    ASSERT_TRUE(faulty.FirstFired());
    if (!faulty.SecondFired()) break;
    if (!fs::exists(Out() / EncodeUtf8(kJournalName)) || fs::exists(taken) ||
        !fs::exists(taken.parent_path())) {
      continue;
    }
    {
      ++cases;
      WriteBytes(taken, "somebody's");
      const std::string where = "undo stopped at rename #" + std::to_string(m);
      FaultyFileSystem clean(*real_);
      EXPECT_EQ(Extract(clean, next), "") << where;
      EXPECT_EQ(fs::exists(taken) ? ReadBytes(taken) : "(gone)", "somebody's") << where;
      Tree now = Snapshot(Out(), false);
      now.erase("plugins/extra/one.dll");
      EXPECT_EQ(now, ReleaseTree(next)) << where;
    }
  }
  EXPECT_GE(cases, 1);
}

// A staged name that somebody else's file took before ours could be made is recorded as
// not ours: neither the undo nor a recovery after a kill deletes that file.
TEST_F(TransactionTest, ANameTakenBeforeTheStagedFileIsMadeStaysTheirs) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  int cases = 0;
  for (const int n : {2, 5, 9}) {
    for (int kill = 1; kill < 60; kill += 3) {
      Install();
      FaultyFileSystem faulty(*real_);
      faulty.first = {Op::Create, n};
      faulty.occupyOnFailedCreate = true;
      faulty.killAt = kill;
      Extract(faulty, release);
      if (!faulty.FirstFired()) continue;
      // A kill before the record that disowns the name is written (the next two calls:
      // its write and its flush) leaves the name to recovery: the one window left, no
      // wider than the one in which somebody would have to take the name.
      if (kill > faulty.FirstFiredAt() && kill <= faulty.FirstFiredAt() + 2) continue;
      // Only a staged file's name counts here: the journal's own cannot be taken for ours.
      std::vector<std::u16string> occupied;
      for (const std::u16string& path : faulty.occupied) {
        if (path.ends_with(u".tmp")) occupied.push_back(path);
      }
      if (occupied.empty()) continue;
      ++cases;
      const std::string where = "create #" + std::to_string(n) + " taken, killed at " + std::to_string(kill);
      FaultyFileSystem clean(*real_);
      EXPECT_EQ(Extract(clean, release), "") << where;
      for (const std::u16string& path : occupied) {
        EXPECT_TRUE(real_->FileExists(path)) << where << EncodeUtf8(path);
      }
    }
  }
  EXPECT_GE(cases, 10);
}

TEST_F(TransactionTest, FilesThatOnlyLookLikeOursAreLeftAlone) {
  const char* lookalikes[] = {
      "docs/page0.txt.~tx12345678.bak",  // beside the file it seems to back up
      ".~tx0000ABCD.tmp",
      "data/.~txdeadbeef.tmp",
      "lost.txt.~tx12345678.bak",        // its "file" is missing
      ".~txdeadbeef.bak",
  };
  for (const bool damaged : {false, true}) {
    Install();
    std::vector<ZipWriterEntry> release = Release();
    if (damaged) release[5].crc = 1;
    for (const char* name : lookalikes) WriteBytes(Out() / name, std::string("user's ") + name);
    const std::string error = Extract(*real_, release);
    EXPECT_EQ(error.empty(), !damaged) << error;
    for (const char* name : lookalikes) {
      EXPECT_EQ(ReadBytes(Out() / name), std::string("user's ") + name) << name << damaged;
    }
    EXPECT_FALSE(fs::exists(Out() / "lost.txt"));
    EXPECT_EQ(Ours(Snapshot(Out())).size(), std::size(lookalikes)) << damaged;
  }
}

TEST_F(TransactionTest, AForeignFileWhereTheJournalGoesStopsTheExtraction) {
  Install();
  const std::vector<ZipWriterEntry> release = Release();
  WriteBytes(Out() / EncodeUtf8(kJournalName), "somebody's notes");
  const Tree before = Snapshot(Out());
  EXPECT_EQ(Extract(*real_, release).substr(0, 35), "EFCreateError: Cannot create file \"");
  EXPECT_EQ(Snapshot(Out()), before);
}

// Two entries for one file, as Windows compares names: the later one is the file.
// Windows' creation times as NTFS keeps them, and its "tunnelling": a name that was just
// renamed away or deleted hands its file's creation time to the next file that takes the
// name. Files written through the extraction take the time their handle was given.
class TunnellingFileSystem : public ForwardingFileSystem {
 public:
  static constexpr int64_t kOld = 1;  // the installed files' creation time
  explicit TunnellingFileSystem(FileSystem& real) : ForwardingFileSystem(real) {}

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    std::unique_ptr<OutputFile> file = real_.OpenOutput(path, mode, result);
    return file ? std::make_unique<Output>(*this, std::move(file), Key(path)) : nullptr;
  }
  FsResult Rename(const std::u16string& from, const std::u16string& to) override {
    const FsResult result = real_.Rename(from, to);
    if (!result.Done()) return result;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t moved = Vacate(Key(from));
    const auto tunnelled = vacated_.find(Key(to));
    created_[Key(to)] = tunnelled != vacated_.end() ? tunnelled->second : moved;
    return result;
  }
  FsResult RemoveFile(const std::u16string& path) override {
    const FsResult result = real_.RemoveFile(path);
    std::lock_guard<std::mutex> lock(mutex_);
    if (result.Done()) Vacate(Key(path));
    return result;
  }
  void SetFileTime(const std::u16string& path, FileTimeKind kind, int64_t utcSeconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kind == FileTimeKind::Creation) created_[Key(path)] = utcSeconds;
    real_.SetFileTime(path, kind, utcSeconds);
  }
  static std::u16string Key(std::u16string path) {
    std::replace(path.begin(), path.end(), u'/', u'\\');
    return PathKey(path);
  }
  int64_t CreatedAt(const fs::path& path) {
    const auto found = created_.find(Key(path.u16string()));
    return found == created_.end() ? kOld : found->second;
  }

 private:
  class Output : public OutputFile {
   public:
    Output(TunnellingFileSystem& owner, std::unique_ptr<OutputFile> file, std::u16string key)
        : owner_(owner), file_(std::move(file)), key_(std::move(key)) {}
    size_t Write(const void* buffer, size_t count) override { return file_->Write(buffer, count); }
    FsResult Sync() override { return file_->Sync(); }
    void SetTimes(int64_t utcSeconds) override {
      std::lock_guard<std::mutex> lock(owner_.mutex_);
      owner_.created_[key_] = utcSeconds;
      file_->SetTimes(utcSeconds);
    }
    FsResult Close() override { return file_->Close(); }

   private:
    TunnellingFileSystem& owner_;
    std::unique_ptr<OutputFile> file_;
    std::u16string key_;
  };
  int64_t Vacate(const std::u16string& key) {
    const auto found = created_.find(key);
    const int64_t time = found == created_.end() ? kOld : found->second;
    if (found != created_.end()) created_.erase(found);
    vacated_[key] = time;
    return time;
  }

  std::mutex mutex_;
  std::map<std::u16string, int64_t> created_;
  std::map<std::u16string, int64_t> vacated_;  // the tunnel cache, kept for the whole run
};

TEST_F(TransactionTest, CreationTimesAreTheEntriesEvenWhereANameWasJustVacated) {
  for (const unsigned workers : kSweptWorkers) {
    for (const bool update : {false, true}) {
      const std::string where = std::string(update ? "update" : "fresh") + ", " +
                                std::to_string(workers) + " workers";
      Install();
      const std::vector<ZipWriterEntry> release = Release();
      if (!update) fs::remove_all(Out());
      workers_ = workers;
      TunnellingFileSystem tunnelling(*real_);
      ASSERT_EQ(Extract(tunnelling, release), "") << where;
      const int64_t time = real_->LocalToUtc(ToUnixSeconds(DecodeDosDateTime(kDosDate2021)));
      for (const ZipWriterEntry& entry : release) {
        if (entry.dosTime == 0) continue;  // no time to set
        EXPECT_EQ(tunnelling.CreatedAt(Out() / entry.name), time) << where << ": " << entry.name;
      }
    }
  }
}

TEST_F(TransactionTest, TheLaterOfTwoEntriesForOneFileWins) {
  FaultyFileSystem fileSystem(*real_);
  ASSERT_EQ(Extract(fileSystem, {{"a.txt", "first"}, {"B.txt", "upper"}, {"a.txt", "second"},
                                 {"b.txt", "lower"}}),
            "");
  EXPECT_EQ(Snapshot(Out(), false), (Tree{{"a.txt", "second"}, {"b.txt", "lower"}}));
}

TEST_F(TransactionTest, AttributesLeaveTheVolumeBitOut) {
  ZipWriterEntry label{"label.txt", "x"};
  label.externalAttributes = 0x28;
  ZipWriterEntry readOnly{"ro.txt", "x"};
  readOnly.externalAttributes = 0x01 | 0x02 | 0x04 | 0x08 | 0x20;
  FaultyFileSystem recorder(*real_);
  ASSERT_EQ(Extract(recorder, {label, readOnly}), "");
  std::map<std::string, int> set;
  for (const auto& [path, value] : recorder.attributes) {
    set[EncodeUtf8(path.substr(path.find_last_of(u"\\/") + 1))] = value;
  }
  EXPECT_EQ(set, (std::map<std::string, int>{{"label.txt", 0x20}, {"ro.txt", 0x27}}));
}

// A write that fails half-way leaves a torn line; the next record starts a line of its
// own instead of joining it (and failing its check with it).
TEST(Journal, ARecordAfterATornWriteStandsOnItsOwnLine) {
  ScratchFolder scratch;
  const std::unique_ptr<FileSystem> real = CreateNativeFileSystem();
  FaultyFileSystem faulty(*real);
  faulty.first = {Op::Write, 3};
  faulty.tearWrites = true;
  const std::u16string path = (scratch.path() / EncodeUtf8(kJournalName)).u16string();
  const JournalRecord a{JournalRecordKind::Staged, u"a\\.~tx00000001.tmp", {}, {}};
  const JournalRecord b{JournalRecordKind::Staged, u"b\\.~tx00000002.tmp", {}, {}};
  const JournalRecord c{JournalRecordKind::Staged, u"c\\.~tx00000003.tmp", {}, {}};
  WaitAccount wait(0);
  {
    Journal journal(faulty, path);
    journal.Append({a}, wait);  // the header, then a
    EXPECT_THROW(journal.Append({b}, wait), EWriteError);
    journal.Append({c}, wait);
    journal.Flush();
  }
  std::vector<JournalRecord> records;
  EXPECT_EQ(DecodeJournal(ReadBytes(scratch.path() / EncodeUtf8(kJournalName)), records),
            JournalContent::Records);
  EXPECT_EQ(records, (std::vector<JournalRecord>{a, c}));
}

TEST(Journal, RecordsSurviveTornAndDamagedLines) {
  const JournalRecord put{JournalRecordKind::Put, u"a\\.~tx00000001.tmp", u"a\\\u00E9t\u00E9.txt",
                          u"a\\\u00E9t\u00E9.txt.~tx00000002.bak"};
  const JournalRecord commit{JournalRecordKind::Commit, {}, {}, {}};
  const std::string good = JournalHeader() + EncodeJournalRecord(put) + EncodeJournalRecord(commit);
  std::string damaged = good;
  damaged[JournalHeader().size() + 12] ^= 1;
  using enum JournalContent;
  const struct {
    const char* name;
    std::string bytes;
    JournalContent content;
    std::vector<JournalRecord> records;
  } cases[] = {
      {"whole", good, Records, {put, commit}},
      {"last line cut short", good.substr(0, good.size() - 3), Records, {put}},
      {"damaged line skipped", damaged, Records, {commit}},
      {"header only", JournalHeader(), Records, {}},
      // What a power cut leaves of data never written out: zeros after what was.
      {"zeros after the header", JournalHeader() + std::string(300, '\0'), Records, {}},
      {"zeros after a record", JournalHeader() + EncodeJournalRecord(put) + std::string(90, '\0'),
       Records, {put}},
      {"not ours", "somebody's notes\n" + EncodeJournalRecord(put), Foreign, {}},
      {"not ours, then zeros", "notes" + std::string(9, '\0'), Foreign, {}},
      {"zeros, then text", std::string(9, '\0') + "notes", Foreign, {}},
      // A kill or a cut before the header reached the disk.
      {"empty", "", Nothing, {}},
      {"header cut short", JournalHeader().substr(0, 9), Nothing, {}},
      {"only zeros", std::string(4096, '\0'), Nothing, {}},
      {"header cut short, then zeros", JournalHeader().substr(0, 9) + std::string(30, '\0'), Nothing, {}},
  };
  for (const auto& c : cases) {
    std::vector<JournalRecord> records{commit};
    EXPECT_EQ(DecodeJournal(c.bytes, records), c.content) << c.name;
    EXPECT_EQ(records, c.records) << c.name;
  }
}

}  // namespace
}  // namespace tallyx
