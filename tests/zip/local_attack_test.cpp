// A user of the workstation who may write the installation folder, but nothing outside
// it, plants files there for the next installation, which runs with more rights: a
// journal of their own, links in place of folders and files. Whatever they plant, the
// installation touches nothing outside its folder.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "base/text.h"
#include "platform/native_file_system.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/journal.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::ErrorOf;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;
using Kind = JournalRecordKind;

// An installation folder with a release to install, beside a folder of somebody else's.
// Makes `link` a symbolic link to `target` (`hard`: another name of the file). Under Wine
// the link is made on the Unix side, by the system's own ln, which Wine starts like any
// program: Wine's CreateSymbolicLinkW makes nothing, and Wine shows a Unix link to a
// Windows program as what it points to, as Windows shows a link that is followed.
void MakeLink(const fs::path& target, const fs::path& link, bool hard = false) {
#ifdef _WIN32
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  ASSERT_NE(unixName, nullptr) << "links are made through Wine";
  const auto unix = [&](const fs::path& path) {
    char* name = unixName(path.wstring().c_str());
    std::string text = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return "\"" + text + "\"";
  };
  std::wstring command = L"Z:\\bin\\ln " + std::wstring(hard ? L"" : L"-s ") +
                         fs::path(unix(target)).wstring() + L" " + fs::path(unix(link)).wstring();
  STARTUPINFOW startup{sizeof(startup)};
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Wine signals a Unix process's end before the process has done its work.
  for (int i = 0; i < 500 && !fs::exists(link); ++i) Sleep(10);
#else
  hard ? fs::create_hard_link(target, link) : fs::create_symlink(target, link);
#endif
  ASSERT_TRUE(fs::exists(link)) << EncodeUtf8(link.u16string());
}

class Workstation {
 public:
  Workstation() {
    fs::create_directories(Folder() / "sub");
    fs::create_directories(Victim());
    WriteBytes(Victim() / "secret.txt", "the victim's own");
    WriteBytes(Folder() / "app.txt", "installed");
    WriteBytes(Folder() / "app.txt.~tx12345678.bak", "planted");
    WriteBytes(Folder() / ".~tx12345678.tmp", "planted");
    WriteBytes(scratch_.path() / "release.zip", BuildZip({{"app.txt", "new"}}).bytes);
  }
  fs::path Folder() const { return scratch_.path() / "inst"; }
  fs::path Victim() const { return scratch_.path() / "victim"; }
  fs::path Archive() const { return scratch_.path() / "release.zip"; }
  std::u16string VictimText() const { return (Victim() / "secret.txt").u16string(); }

  // Installs `archive` into the folder; the error it raises, or "".
  std::string Install(const fs::path& archive) {
    TZipFile zip(*fs_);
    return ErrorOf([&] {
      zip.Open(archive.u16string(), TZipMode::zmRead);
      zip.ExtractAll(Folder().u16string());
    });
  }
  std::string Install() { return Install(scratch_.path() / "release.zip"); }
  void Release(const std::vector<ZipWriterEntry>& entries) {
    WriteBytes(scratch_.path() / "release.zip", BuildZip(entries).bytes);
  }
  // Every file of the scratch folder with its bytes: what an attack must leave alone.
  std::string Snapshot(bool withFolder) const {
    std::string all;
    for (const auto& item : fs::recursive_directory_iterator(scratch_.path())) {
      if (!withFolder && item.path().parent_path() == Folder()) continue;
      all += EncodeUtf8(item.path().u16string()) + "=" +
             (item.is_regular_file() ? ReadBytes(item.path()) : "/") + ";";
    }
    return all;
  }

  std::unique_ptr<FileSystem> fs_ = CreateNativeFileSystem();

 private:
  ScratchFolder scratch_;
};

// Planted journals whose every line carries a good checksum: each is somebody else's
// file, so the installation stops on it and everything, in the folder and outside it,
// stays byte for byte as it was. The last case is the control: the same plan in the
// transaction's own shapes is ours, and is rolled back before the release goes in.
TEST(LocalAttackTest, APlantedJournalMovesAndDeletesNothing) {
  const std::u16string staged = u".~tx12345678.tmp";
  const std::u16string longName(300, u'a');
  const std::u16string kVictim = u"<the victim's absolute path>";
  struct Case {
    const char* name;
    std::vector<JournalRecord> records;
    bool ours = false;
  };
  const Case cases[] = {
      {"a staged file outside", {{Kind::Staged, u"..\\victim\\secret.txt"}}},
      {"with slashes", {{Kind::Staged, u"../victim/secret.txt"}}},
      {"absolute", {{Kind::Staged, kVictim}}},
      {"absolute, unmade", {{Kind::Unmade, kVictim}}},
      {"climbing from a folder", {{Kind::Staged, u"sub\\..\\..\\victim\\secret.txt"}}},
      {"dots that climb on Windows", {{Kind::Staged, u"...\\victim\\secret.txt"}}},
      {"a dot and a blank", {{Kind::Staged, u".. \\victim\\secret.txt"}}},
      {"rooted", {{Kind::Staged, u"\\victim\\secret.txt"}}},
      {"a drive", {{Kind::Staged, u"C:secret.txt"}}},
      {"UNC", {{Kind::Staged, u"\\\\server\\share\\.~tx12345678.tmp"}}},
      {"device path", {{Kind::Staged, u"\\\\?\\C:\\.~tx12345678.tmp"}}},
      {"a device", {{Kind::Staged, u"CON\\.~tx12345678.tmp"}}},
      {"a stream", {{Kind::Staged, u"app.txt:.~tx12345678.tmp"}}},
      {"upper-case digits", {{Kind::Staged, u".~tx1234ABCD.tmp"}}},
      {"seven digits", {{Kind::Staged, u".~tx1234567.tmp"}}},
      {"full-width digits", {{Kind::Staged, u".~tx\uFF11\uFF12\uFF13\uFF14\uFF15\uFF16\uFF17\uFF18.tmp"}}},
      {"a name before the marker", {{Kind::Staged, u"app.txt.~tx12345678.tmp"}}},
      {"a long folder that climbs", {{Kind::Staged, longName + u"\\..\\..\\victim\\.~tx12345678.tmp"}}},
      {"a control character", {{Kind::Staged, u"sub\u0001\\.~tx12345678.tmp"}}},
      {"an outside folder", {{Kind::Folder, u"..\\victim"}}},
      {"a committed plan, backup outside",
       {{Kind::Staged, staged}, {Kind::Put, staged, u"app.txt", u"..\\victim\\secret.txt"}, {Kind::Commit}}},
      {"an unfinished plan, target outside",
       {{Kind::Staged, staged}, {Kind::Put, staged, u"..\\victim\\secret.txt", u"app.txt.~tx12345678.bak"}}},
      {"a backup of another file",
       {{Kind::Staged, staged}, {Kind::Put, staged, u"app.txt", u"secret.txt.~tx12345678.bak"}}},
      {"a backup in another folder",
       {{Kind::Staged, staged}, {Kind::Put, staged, u"app.txt", u"sub\\app.txt.~tx12345678.bak"}}},
      {"a target of ours", {{Kind::Staged, staged}, {Kind::Put, staged, u".~tx.journal"}}},
      {"a commit that names a file", {{Kind::Commit, u"..\\victim\\secret.txt"}}},
      {"ours: rolled back", {{Kind::Staged, staged}, {Kind::Put, staged, u"app.txt", u"app.txt.~tx0000abcd.bak"}},
       true},
  };
  for (const Case& c : cases) {
    Workstation fixture;  // a fresh folder for each journal
    std::string journal = JournalHeader();
    for (JournalRecord record : c.records) {
      if (record.path == kVictim) record.path = fixture.VictimText();
      journal += EncodeJournalRecord(record);
    }
    WriteBytes(fixture.Folder() / EncodeUtf8(kJournalName), journal);
    const std::string before = fixture.Snapshot(!c.ours);
    const std::string error = fixture.Install();
    EXPECT_EQ(fixture.Snapshot(!c.ours), before) << c.name;
    if (c.ours) {
      EXPECT_EQ(error, "") << c.name;
      EXPECT_EQ(ReadBytes(fixture.Folder() / "app.txt"), "new") << c.name;
      EXPECT_FALSE(fs::exists(fixture.Folder() / EncodeUtf8(kJournalName))) << c.name;
    } else {
      EXPECT_TRUE(error.starts_with("EFCreateError: Cannot create file") &&
                  error.find(".~tx.journal") != std::string::npos)
          << c.name << ": " << error;
    }
  }
}

// Links planted where the release's files and folders go, or where the installation keeps
// its own: the installation fails before it writes anything through them, touches
// nothing outside, and leaves every link as it is.
TEST(LocalAttackTest, NoLinkIsFollowed) {
  struct Case {
    const char* name;
    std::vector<ZipWriterEntry> release;
    // Plants the links in the folder.
    std::function<void(Workstation&)> plant;
    const char* error;  // what the installation's error starts with
    bool archiveInFolder = false;
  };
  const auto victim = [](Workstation& w) { return w.Victim() / "secret.txt"; };
  const Case cases[] = {
      {"a folder of the release", {{"sub/a.txt", "new"}},
       [](Workstation& w) { fs::remove_all(w.Folder() / "sub"); MakeLink(w.Victim(), w.Folder() / "sub"); },
       "EFCreateError: Cannot create file"},
      {"a folder below one", {{"sub/deeper/a.txt", "new"}},
       [](Workstation& w) { MakeLink(w.Victim(), w.Folder() / "sub" / "deeper"); },
       "EFCreateError: Cannot create file"},
      {"a file of the release", {{"app.txt", "new"}},
       [&](Workstation& w) { fs::remove(w.Folder() / "app.txt"); MakeLink(victim(w), w.Folder() / "app.txt"); },
       "EFCreateError: Cannot create file"},
      {"the journal", {{"app.txt", "new"}},
       [&](Workstation& w) { MakeLink(victim(w), w.Folder() / EncodeUtf8(kJournalName)); },
       "EFOpenError: Cannot open file"},
      {"the journal, another name of an outside file", {{"app.txt", "new"}},
       [](Workstation& w) {
         // A journal of ours to roll back, which the roll-back would add to.
         std::string journal = JournalHeader() + EncodeJournalRecord({Kind::Staged, u".~tx12345678.tmp"});
         WriteBytes(w.Victim() / "journal.txt", journal);
         MakeLink(w.Victim() / "journal.txt", w.Folder() / EncodeUtf8(kJournalName), true);
       },
       "EFCreateError: Cannot create file"},
      {"the archive", {{"app.txt", "new"}},
       [](Workstation& w) {
         fs::copy_file(w.Archive(), w.Victim() / "release.zip");
         MakeLink(w.Victim() / "release.zip", w.Folder() / "Tallyx_1.zip");
       },
       "EFOpenError: Cannot open file", true},
  };
  for (const Case& c : cases) {
    Workstation w;
    w.Release(c.release);
    c.plant(w);
    const std::string before = w.Snapshot(false);
    // The updater confines its folder from the start, before it opens the archive there.
    w.fs_->Confine(w.Folder().u16string());
    const std::string error = c.archiveInFolder ? w.Install(w.Folder() / "Tallyx_1.zip") : w.Install();
    EXPECT_TRUE(error.starts_with(c.error)) << c.name << ": " << error;
    EXPECT_EQ(w.Snapshot(false), before) << c.name;
    EXPECT_EQ(ReadBytes(w.Victim() / "secret.txt"), "the victim's own") << c.name;
  }
}

}  // namespace
}  // namespace tallyx
