// The extraction's workers and the extracting thread's turns: failures end the way a
// one-by-one extraction ends them, and the thread that waits for the workers, for the
// transaction's steps and for files in use takes its turn every few milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/native_file_system.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/entry_pool.h"
#include "zip/forwarding_file_system.h"
#include "zip/waiting.h"
#include "zip/zip_archive.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::ErrorOf;
using testing::Noise;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The native file system, slower where Windows is slow: each close of a written file and
// each rename costs what it is given, and the archive is refused as in use a few times.
class SlowFileSystem : public ForwardingFileSystem {
 public:
  explicit SlowFileSystem(FileSystem& real) : ForwardingFileSystem(real) {}
  int closeMs = 0;
  int archiveInUse = 0;  // refusals of the first openings
  int lookupMs = 0;      // each look for a free name of the transaction's own
  std::atomic<int> journalFlushes{0};
  std::string journalText;  // all that was written to journals

  std::unique_ptr<TStream> OpenExclusive(const std::u16string& path, FsResult& result) override {
    if (archiveInUse > 0) {
      --archiveInUse;
      result = FsResult::Failure(FsOutcome::InUse, u"in use");
      return nullptr;
    }
    return real_.OpenExclusive(path, result);
  }
  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, OutputMode mode,
                                         FsResult& result) override {
    std::unique_ptr<OutputFile> file = real_.OpenOutput(path, mode, result);
    const bool journal = path.ends_with(u".~tx.journal");
    return file ? std::make_unique<SlowOutput>(*this, std::move(file), journal) : nullptr;
  }
  FsResult MakeDurable(const std::vector<std::u16string>&) override { return {}; }
  bool FileExists(const std::u16string& path) override {
    if (path.find(u".~tx") != std::u16string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(lookupMs));
    }
    return real_.FileExists(path);
  }

 private:
  class SlowOutput : public OutputFile {
   public:
    SlowOutput(SlowFileSystem& owner, std::unique_ptr<OutputFile> file, bool journal)
        : owner_(owner), file_(std::move(file)), journal_(journal) {}
    size_t Write(const void* buffer, size_t count) override {
      if (journal_) owner_.journalText.append(static_cast<const char*>(buffer), count);
      return file_->Write(buffer, count);
    }
    FsResult Sync() override {
      if (journal_) ++owner_.journalFlushes;
      return file_->Sync();
    }
    void SetTimes(int64_t utcSeconds) override { file_->SetTimes(utcSeconds); }
    FsResult Close() override {
      std::this_thread::sleep_for(std::chrono::milliseconds(owner_.closeMs));
      return file_->Close();
    }

   private:
    SlowFileSystem& owner_;
    std::unique_ptr<OutputFile> file_;
    bool journal_;
  };
};

class PoolTest : public ::testing::Test {
 protected:
  std::string Extract(unsigned workers) {
    TZipFile zip(*fs_);
    zip.SetWorkerCount(workers);
    return ErrorOf([&] {
      zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
      zip.ExtractAll(Out().u16string());
    });
  }
  size_t FilesLeft() const {
    if (!fs::exists(Out())) return 0;
    return static_cast<size_t>(std::distance(fs::recursive_directory_iterator(Out()),
                                             fs::recursive_directory_iterator()));
  }
  fs::path Out() const { return scratch_.path() / "out"; }

  std::unique_ptr<FileSystem> fs_ = CreateNativeFileSystem();
  ScratchFolder scratch_;
};

// A large entry with a bad CRC is still being inflated when a small later one has
// already failed, or when the extracting thread refuses a later name: the error is the
// large entry's, as it would be one entry after the other, whatever the worker count.
TEST_F(PoolTest, TheLowestFailingEntryWins) {
  const std::string big = Noise(24 << 20, 7);
  const ZipWriterEntry badBig{.name = "a.bin", .data = big, .crc = 1, .level = 1};
  const auto small = [](const std::string& name) { return ZipWriterEntry{name, "small " + name}; };
  ZipWriterEntry badSmall = small("z.txt");
  badSmall.crc = 2;
  std::vector<ZipWriterEntry> middle;
  for (int i = 0; i < 6; ++i) middle.push_back(small("m" + std::to_string(i) + ".txt"));
  const auto join = [&](std::vector<ZipWriterEntry> head, const std::vector<ZipWriterEntry>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    const char* name;
    std::vector<ZipWriterEntry> entries;
    std::string error;
  } cases[] = {
      {"large bad entry first, small bad entry last", join(join({badBig}, middle), {badSmall}),
       "EZipException: Bad CRC-32 for entry \"a.bin\""},
      {"large bad entry, then a device name", join({badBig}, join(middle, {small("CON")})),
       "EZipException: Bad CRC-32 for entry \"a.bin\""},
      {"a device name, then a bad entry", join({small("CON")}, join(middle, {badSmall})),
       "EZipException: Entry \"CON\" names a device"},
      {"small bad entry before a large one", join(join(middle, {badSmall}), {small("big.bin")}),
       "EZipException: Bad CRC-32 for entry \"z.txt\""},
      {"every entry good", join(middle, {small("last.txt")}), ""},
  };
  for (const Case& c : cases) {
    WriteBytes(scratch_.path() / "release.zip", BuildZip(c.entries).bytes);
    for (const unsigned workers : {1u, 2u, 4u}) {
      fs::remove_all(Out());
      const std::string error = Extract(workers);
      EXPECT_EQ(error, c.error) << c.name << ", " << workers << " workers";
      // All or nothing.
      EXPECT_EQ(FilesLeft(), c.error.empty() ? c.entries.size() : 0u) << c.name << ", " << workers;
    }
  }
}

// The staged names of every folder's files are recorded in one flush of the journal when
// the central directory tells how many there are, not folder by folder nor in batches that
// grow from one: on NTFS each flush costs about as much as a small file. Names the
// extraction refuses get none, so the journal never names a file outside the folder.
TEST_F(PoolTest, StagedNamesTakeOneFlush) {
  std::vector<ZipWriterEntry> entries;
  for (int i = 0; i < 300; ++i) {
    entries.push_back({"d" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".txt", "x"});
  }
  for (int i = 0; i < 5; ++i) entries.push_back({"f" + std::to_string(i) + ".txt", "y"});
  for (int i = 0; i < 10; ++i) fs::create_directories(Out() / ("d" + std::to_string(i)));
  struct Case {
    const char* name;
    std::vector<ZipWriterEntry> tail;
    int flushes;  // at most
  } cases[] = {
      // The header, every staged name, the plan, the commit.
      {"an update of ten folders", {}, 4},
      {"an entry outside the folder", {{"../outside/f.txt", "z"}}, 3},
  };
  for (const Case& c : cases) {
    std::vector<ZipWriterEntry> all = entries;
    all.insert(all.end(), c.tail.begin(), c.tail.end());
    WriteBytes(scratch_.path() / "release.zip", BuildZip(all).bytes);
    SlowFileSystem slow(*fs_);
    ErrorOf([&] {
      TZipFile zip(slow);
      zip.Open((scratch_.path() / "release.zip").u16string(), TZipMode::zmRead);
      zip.ExtractAll(Out().u16string());
    });
    EXPECT_EQ(FilesLeft(), c.tail.empty() ? all.size() + 10 : 10u) << c.name;
    EXPECT_LE(slow.journalFlushes.load(), c.flushes) << c.name;
    EXPECT_EQ(slow.journalText.find("outside"), std::string::npos) << c.name;
    fs::remove_all(Out());
    for (int i = 0; i < 10; ++i) fs::create_directories(Out() / ("d" + std::to_string(i)));
  }
}

// The thread that waits takes its turn every few milliseconds through every slow step: the
// archive refused as in use, slow closes on the workers, the transaction's own steps. The
// turn is where the window takes its messages, which Windows wants within 5 s and a user
// within 100 ms: the bound, well above a turn's few milliseconds (a loaded machine under
// Wine stretches the file system's own calls), well below a slow step taken without one.
TEST_F(PoolTest, TheWaitingThreadTakesItsTurnThroughout) {
  std::vector<ZipWriterEntry> entries;
  for (int i = 0; i < 24; ++i) entries.push_back({"f" + std::to_string(i) + ".txt", Noise(50000, i)});
  WriteBytes(scratch_.path() / "release.zip", BuildZip(entries).bytes);
  struct Case {
    const char* name;
    unsigned workers;
    int closeMs;
    int archiveInUse;
    int lookupMs = 0;
  } cases[] = {
      {"one worker, slow closes", 1, 40, 0},
      {"a pool, slow closes", 3, 40, 0},
      {"archive in use for a while", 2, 0, 5},
      {"slow looks for free names", 2, 0, 0, 8},
  };
  for (const Case& c : cases) {
    fs::remove_all(Out());
    SlowFileSystem slow(*fs_);
    slow.closeMs = c.closeMs;
    slow.archiveInUse = c.archiveInUse;
    slow.lookupMs = c.lookupMs;
    ZipArchiveFactory factory(slow, nullptr, c.workers);
    std::unique_ptr<Archive> archive = factory.CreateArchive();
    std::vector<Clock::time_point> calls;
    std::vector<uint64_t> written;
    const std::thread::id caller = std::this_thread::get_id();
    bool elsewhere = false;
    archive->SetOnProgress([&](ArchiveStep step, uint64_t done, uint64_t) {
      elsewhere |= std::this_thread::get_id() != caller;
      calls.push_back(Clock::now());
      if (step == ArchiveStep::Writing) written.push_back(done);
    });
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(ErrorOf([&] {
                archive->Open((scratch_.path() / "release.zip").u16string(), {});
                archive->ExtractAll(Out().u16string(), u"f0.txt", u"");
                archive->Close();
                archive->PlaceLastFile();
                archive.reset();
              }),
              "")
        << c.name;
    const Clock::time_point end = Clock::now();
    EXPECT_FALSE(elsewhere) << c.name << ": progress reported off the calling thread";
    ASSERT_FALSE(calls.empty()) << c.name;
    Clock::duration longest = calls.front() - start;
    for (size_t i = 1; i < calls.size(); ++i) longest = std::max(longest, calls[i] - calls[i - 1]);
    longest = std::max(longest, end - calls.back());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 100)
        << c.name << " over " << std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count()
        << " ms";
    EXPECT_TRUE(std::is_sorted(written.begin(), written.end())) << c.name;
    ASSERT_FALSE(written.empty()) << c.name;
    EXPECT_EQ(written.back(), 24u * 50000u) << c.name;
    EXPECT_EQ(FilesLeft(), 24u) << c.name;
  }
}

// A step run aside finishes whatever its waiting thread's turn raises, and what it raises
// itself reaches the caller; a pause with a turn is sliced.
TEST(Turns, StepsAsideAndPauses) {
  int turns = 0;
  bool stepEnded = false;
  {
    ScopedTurn turn([&] {
      if (++turns == 1) throw std::runtime_error("turn");
    });
    EXPECT_THROW(RunAside([&] {
                   std::this_thread::sleep_for(std::chrono::milliseconds(100));
                   stepEnded = true;
                 }),
                 std::runtime_error);
    EXPECT_TRUE(stepEnded);
    EXPECT_THROW(RunAside([] { throw std::logic_error("step"); }), std::logic_error);
    turns = 1;
    PauseTakingTurns(150);
    EXPECT_GE(turns, 1 + 150 / kTurnIntervalMs - 2);
  }
  turns = 0;
  PauseTakingTurns(30);  // no turn outside the scope
  EXPECT_EQ(turns, 0);
}

}  // namespace
}  // namespace tallyx
