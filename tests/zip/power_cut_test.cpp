// Installation as one transaction, against power cuts: wherever the power goes, and
// whatever of the unflushed data and names the disk then shows, the folder holds the old
// release or the new one once the next run has recovered, the run after installs the
// release exactly, and nothing of the user's is touched.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/native_file_system.h"
#include "tests/zip/power_cut_file_system.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/extraction.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::CutMode;
using testing::ErrorOf;
using testing::FolderTree;
using testing::LostData;
using testing::PowerCut;
using testing::PowerCutFileSystem;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

// What the disk shows after a cut: which mode, how much of the name changes made since
// the last durable point survive (0 none, 1 all; between: a prefix of NTFS's log), and
// what became of data written and not flushed.
struct Flavour {
  const char* name;
  CutMode mode;
  double names;
  LostData data;
};
const Flavour kFlavours[] = {
    {"POSIX, durable names, lost data as zeros", CutMode::Posix, 0, LostData::Zeros},
    {"POSIX, durable names, files cut to their durable length", CutMode::Posix, 0, LostData::DurableLength},
    {"POSIX, ext4's half of the names after the last flush, lost data as zeros", CutMode::Posix, 0.5,
     LostData::Zeros},
    {"POSIX, every name, lost data as zeros", CutMode::Posix, 1, LostData::Zeros},
    {"POSIX, every name, files cut to their durable length", CutMode::Posix, 1, LostData::DurableLength},
    {"NTFS, durable log, lost data as zeros", CutMode::Ntfs, 0, LostData::Zeros},
    {"NTFS, durable log, files cut to their durable length", CutMode::Ntfs, 0, LostData::DurableLength},
    {"NTFS, half of the log after it, lost data as zeros", CutMode::Ntfs, 0.5, LostData::Zeros},
    {"NTFS, the whole log, lost data as zeros", CutMode::Ntfs, 1, LostData::Zeros},
    {"NTFS, the whole log, files cut to their durable length", CutMode::Ntfs, 1, LostData::DurableLength},
};

// Every file and folder under `root`, bytes only.
FolderTree Snapshot(const fs::path& root) {
  FolderTree items;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::u8string relative = fs::relative(item.path(), root).generic_u8string();
    const std::string name(relative.begin(), relative.end());
    items[item.is_directory() ? name + "/" : name] = item.is_directory() ? "" : ReadBytes(item.path());
  }
  return items;
}

// The user's own files, some named as ours would be: only the journal says what is ours.
const char* const kUsersFiles[] = {
    "notes.txt",
    "data/mine.csv",
    "data/.~txdeadbeef.tmp",
    "docs/page0.txt.~tx12345678.bak",
    ".~tx0000abcd.tmp",
};

// What differs between two trees, name by name, for failure messages.
std::string Difference(const FolderTree& expected, const FolderTree& actual) {
  const auto shown = [](const std::string& bytes) {
    if (bytes.find_first_not_of('\0') == std::string::npos && !bytes.empty()) {
      return std::to_string(bytes.size()) + " zeros";
    }
    std::string text = bytes.substr(0, 24);
    for (char& c : text) c = c >= 32 && c < 127 ? c : '.';
    return "\"" + text + (bytes.size() > 24 ? "...\"" : "\"") + " (" + std::to_string(bytes.size()) + " bytes)";
  };
  std::string out;
  for (const auto& [name, bytes] : expected) {
    const auto found = actual.find(name);
    if (found == actual.end()) {
      out += "\n  missing " + name;
    } else if (found->second != bytes) {
      out += "\n  " + name + " holds " + shown(found->second) + " instead of " + shown(bytes);
    }
  }
  for (const auto& [name, bytes] : actual) {
    if (!expected.count(name)) out += "\n  left " + name + ": " + shown(bytes);
  }
  return out;
}

#ifdef _WIN32
// Every file call costs far more under Wine: there a sample of the cut points is enough.
constexpr int kStride = 7;
constexpr int kFirstStride = 29;
constexpr int kRecoveryStride = 17;
#else
constexpr int kStride = 1;
constexpr int kFirstStride = 13;
constexpr int kRecoveryStride = 7;
#endif

// A name as long as a file system takes, so that its backup gets the bare suffix.
const std::string kLongName = "docs/" + std::string(240, 'n') + ".txt";

class PowerCutTest : public ::testing::Test {
 protected:
  PowerCutTest() {
    std::vector<std::string> names = {"tallyx.exe", "lisez-moi.txt", kLongName};
    for (int i = 0; i < 8; ++i) names.push_back("data/table" + std::to_string(i) + ".csv");
    for (int i = 0; i < 8; ++i) names.push_back("docs/page" + std::to_string(i) + ".txt");
    for (const std::string& name : names) {
      installed_[name] = "installed " + name;
      // Larger than one write, so that a cut can fall between two of them.
      ZipWriterEntry entry{name, name == "data/table3.csv" ? std::string(70000, 'r') : "new " + name};
      // Past 260 characters a path takes no times or attributes, so the entry has none.
      if (name == kLongName) {
        entry.madeBy = 0x0314;
        entry.dosTime = 0;
      }
      release_.push_back(entry);
    }
    release_.push_back({"plugins/extra/one.dll", "plugin one"});
    release_.push_back({"plugins/extra/two.dll", std::string(100000, 't')});
    for (const char* name : kUsersFiles) installed_[name] = std::string("user's ") + name;
    old_ = WithFolders(installed_);
    FolderTree fresh;
    for (const ZipWriterEntry& entry : release_) fresh[entry.name] = entry.data;
    for (const char* name : kUsersFiles) fresh[name] = installed_.at(name);
    new_ = WithFolders(fresh);
    WriteBytes(Archive(), BuildZip(release_).bytes);
  }

  static FolderTree WithFolders(FolderTree tree) {
    const FolderTree files = tree;
    for (const auto& [name, bytes] : files) {
      for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        tree[name.substr(0, slash + 1)] = "";
      }
    }
    return tree;
  }
  void Install() {
    fs::create_directories(Out());
    testing::Rewrite(Out(), old_);
  }
  // Installs the release as the updater does: the program held back, then put in place.
  std::string Extract(FileSystem& fileSystem) {
    TZipFile zip(fileSystem);
    // The model numbers the calls in the order they come: one worker keeps that order the
    // same from run to run, so that each cut point is one state; with a pool, a cut point
    // is one of the states that the workers' order can give.
    zip.SetWorkerCount(workers_);
    try {
      return ErrorOf([&] {
        zip.Open(Archive().u16string(), TZipMode::zmRead);
        zip.ExtractAll(Out().u16string(), u"tallyx.exe");
        zip.Close();
        zip.CompleteExtraction();
      });
    } catch (const PowerCut&) {
      return "cut";
    }
  }
  // Only what the next run does before anything new: finish what the journal names.
  std::string RecoverOnly(FileSystem& fileSystem) {
    WaitAccount forward(10000), undo(60000);
    try {
      return ErrorOf([&] {
        ExtractionTransaction transaction(fileSystem, Out().u16string(), forward, undo);
        transaction.SetWorkers(workers_);
        transaction.Recover();
      });
    } catch (const PowerCut&) {
      return "cut";
    }
  }

  // What is wrong with the folder `left` by a cut, or "": recovered alone, it must be the
  // old release or the new one, and a run after that must install the release exactly.
  std::string Check(const FolderTree& left) {
    testing::Rewrite(Out(), left);
    // Through the model with no cut: the real flushes (syncfs) would dominate the sweep.
    PowerCutFileSystem recovery(*real_, Out(), CutMode::Posix);
    const std::string recovered = RecoverOnly(recovery);
    const FolderTree afterRecovery = Snapshot(Out());
    if (!recovered.empty() || (afterRecovery != old_ && afterRecovery != new_)) {
      const bool newer = afterRecovery.count("tallyx.exe") && afterRecovery.at("tallyx.exe") == "new tallyx.exe";
      return "the recovery " + (recovered.empty() ? std::string("left") : "raised " + recovered) +
             ", against the " + (newer ? "new" : "old") + " release:" +
             Difference(newer ? new_ : old_, afterRecovery) + "\nwhat the cut left:" + Difference(old_, left);
    }
    // From the old release, the run that follows is the sweep's own run without a cut,
    // checked once; from the new one, it installs the release over itself.
    if (afterRecovery == old_) return "";
    PowerCutFileSystem clean(*real_, Out(), CutMode::Posix);
    const std::string error = Extract(clean);
    const FolderTree after = Snapshot(Out());
    if (!error.empty() || after != new_) {
      return "the next run " + (error.empty() ? std::string("left") : "raised " + error) +
             Difference(new_, after) + "\nwhat the cut left:" + Difference(old_, left);
    }
    return "";
  }

  fs::path Out() const { return scratch_.path() / "Tallyx"; }
  fs::path Archive() const { return scratch_.path() / "release.zip"; }

  std::unique_ptr<FileSystem> real_ = CreateNativeFileSystem();
  ScratchFolder scratch_;
  std::vector<ZipWriterEntry> release_;
  FolderTree installed_;
  FolderTree old_, new_;  // the folder before and after, with the user's files
  unsigned workers_ = 1;
};

// One worker, and a pool larger than the entries' own order can keep.
constexpr unsigned kSweptWorkers[] = {1, 3};

// Failures beyond this many for one flavour are counted, not shown.
constexpr int kShown = 3;

TEST_F(PowerCutTest, ACutAtAnyCallLeavesTheOldReleaseOrTheNew) {
  ASSERT_EQ(release_.size(), 21u);
  for (const unsigned workers : kSweptWorkers)
  for (const CutMode mode : {CutMode::Posix, CutMode::Ntfs}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    workers_ = workers;
    std::map<const Flavour*, int> failures;
    int cuts = 0, trees = 0;
    for (int n = 1;; n += kStride) {
      Install();
      PowerCutFileSystem cut(*real_, Out(), mode);
      cut.cutAt = n;
      const std::string error = Extract(cut);
      // A cut in a destructor (the journal's removal at the end) is not seen as an error.
      if (!cut.WasCut()) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(Snapshot(Out()), new_);
        break;
      }
      ++cuts;
      std::set<FolderTree> seen;
      for (const Flavour& flavour : kFlavours) {
        if (flavour.mode != mode) continue;
        const FolderTree left = cut.AfterCut(flavour.names, flavour.data);
        if (!seen.insert(left).second) continue;
        ++trees;
        const std::string wrong = Check(left);
        if (wrong.empty()) continue;
        if (failures[&flavour]++ < kShown) {
          ADD_FAILURE() << flavour.name << ", cut at call " << n << " (" << cut.CutCall() << "): " << wrong;
        }
      }
    }
    for (const auto& [flavour, count] : failures) {
      EXPECT_EQ(count, 0) << flavour->name << ": cut points that failed (" << kShown << " shown)";
    }
    EXPECT_GE(cuts, 120 / kStride);
    std::printf("%s, %u workers: %d cut points, %d distinct folders left and checked\n",
                mode == CutMode::Posix ? "POSIX" : "NTFS", workers, cuts, trees);
  }
}

// A cut during the recovery of what an earlier cut left: each of its changing calls, for
// a sample of the first cut's points.
TEST_F(PowerCutTest, ACutDuringRecoveryLeavesTheOldReleaseOrTheNew) {
  int firstCuts = 0, secondCuts = 0, failures = 0;
  for (const unsigned workers : kSweptWorkers)
  for (const Flavour& flavour : kFlavours) {
    workers_ = workers;
    // The flavours where the most is lost, and NTFS's where every name survives.
    if (flavour.data != LostData::Zeros || flavour.names == 0.5 ||
        (flavour.mode == CutMode::Posix && flavour.names == 1)) {
      continue;
    }
    for (int n = 1;; n += kFirstStride) {
      Install();
      PowerCutFileSystem cut(*real_, Out(), flavour.mode);
      cut.cutAt = n;
      Extract(cut);
      if (!cut.WasCut()) break;
      ++firstCuts;
      const FolderTree left = cut.AfterCut(flavour.names, flavour.data);
      testing::Rewrite(Out(), left);
      PowerCutFileSystem counter(*real_, Out(), flavour.mode);
      RecoverOnly(counter);
      for (int k = 1; k <= counter.Changes(); k += kRecoveryStride) {
        testing::Rewrite(Out(), left);
        PowerCutFileSystem again(*real_, Out(), flavour.mode);
        again.cutAt = k;
        Extract(again);
        ASSERT_TRUE(again.WasCut());
        ++secondCuts;
        const std::string wrong = Check(again.AfterCut(flavour.names, flavour.data));
        if (wrong.empty()) continue;
        if (failures++ < kShown) {
          ADD_FAILURE() << flavour.name << ", " << workers << " workers, cut at call " << n
                        << " (" << cut.CutCall() << "), then at recovery call " << k << " ("
                        << again.CutCall() << "): " << wrong;
        }
      }
    }
  }
  EXPECT_EQ(failures, 0) << "recovery cut points that failed (" << kShown << " shown)";
  EXPECT_GE(secondCuts, 2 * 40 / kStride);
  std::printf("%d first cuts, %d cuts during their recovery\n", firstCuts, secondCuts);
}

}  // namespace
}  // namespace tallyx
