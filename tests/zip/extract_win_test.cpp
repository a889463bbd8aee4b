// What only the Win32 file system shows: attributes, both times, exclusive opening.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "base/errors.h"
#include "base/text.h"
#include "platform/executable_path.h"
#include "platform/native_file_system.h"
#include "platform/os_error.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"
#include "tests/zip/scratch.h"
#include "tools/zip_writer/zip_writer.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

// Files held for good fail the installation once its budget is spent: short ones here.
constexpr WaitBudgets kShortWaits{2000, 8000};

class WinExtractTest : public ::testing::Test {
 protected:
  std::u16string ArchivePath() const { return (scratch_.path() / "archive.zip").u16string(); }
  std::u16string OutText() const { return (scratch_.path() / "out").u16string(); }
  std::u16string OutFile(const char16_t* name) const { return OutText() + u"\\" + name; }
  // The message of the EFCreateError that extracting `entries` into out raises.
  std::u16string CreateErrorOf(const std::vector<ZipWriterEntry>& entries) {
    WriteBytes(ArchivePath(), BuildZip(entries).bytes);
    TZipFile zip(*fs_);
    zip.SetWaitBudgets(kShortWaits);
    zip.Open(ArchivePath(), TZipMode::zmRead);
    try {
      zip.ExtractAll(OutText());
    } catch (const EFCreateError& e) {
      return e.Message();
    }
    return u"";
  }

  std::unique_ptr<FileSystem> fs_ = CreateNativeFileSystem();
  ScratchFolder scratch_;
};

ScopedFileHandle OpenWith(const std::u16string& path, DWORD access, DWORD share) {
  return ScopedFileHandle(
      CreateFileW(W(path), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST_F(WinExtractTest, AttributesFromMsDosHosts) {
  struct Case {
    const char16_t* name;
    uint16_t madeBy;
    uint32_t external;
    DWORD expected;
  } cases[] = {
      {u"ro.txt", 0x0014, 0x21, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
      {u"hidden.txt", 0x0014, 0x22, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
      {u"system.txt", 0x0014, 0x24, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
      {u"label.txt", 0x0014, 0x28, FILE_ATTRIBUTE_ARCHIVE},
      {u"unix.txt", 0x0314, 0x21, FILE_ATTRIBUTE_ARCHIVE},
  };
  std::vector<ZipWriterEntry> entries;
  for (const Case& c : cases) {
    ZipWriterEntry entry{EncodeUtf8(c.name), "x"};
    entry.madeBy = c.madeBy;
    entry.externalAttributes = c.external;
    entries.push_back(entry);
  }
  WriteBytes(ArchivePath(), BuildZip(entries).bytes);
  TZipFile zip(*fs_);
  zip.Open(ArchivePath(), TZipMode::zmRead);
  zip.ExtractAll(OutText());
  constexpr DWORD kShown = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileAttributesW(W(OutFile(c.name))) & kShown, c.expected & kShown)
        << EncodeUtf8(c.name);
  }
}

// Set through the handle that wrote the file, they survive its close and its rename, also
// onto a file that was there: the old file's times never carry over.
TEST_F(WinExtractTest, CreationAndLastWriteTimes) {
  // 2021-03-05 14:30:10 in the tests' time zone, three hours east of UTC.
  SYSTEMTIME utc{2021, 3, 5, 5, 11, 30, 10, 0};
  FILETIME expected;
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &expected));
  ZipWriterEntry older{"t.txt", "old"};
  older.dosTime = (((2019 - 1980) << 9 | 7 << 5 | 1) << 16) | (8 << 11);
  for (const char* step : {"fresh", "over an older file"}) {
    if (std::string(step) == "fresh") {
      fs::remove_all(scratch_.path() / "out");
    } else {
      WriteBytes(ArchivePath(), BuildZip({older}).bytes);
      TZipFile first(*fs_);
      first.Open(ArchivePath(), TZipMode::zmRead);
      first.ExtractAll(OutText());
    }
    WriteBytes(ArchivePath(), BuildZip({{"t.txt", "x"}}).bytes);
    TZipFile zip(*fs_);
    zip.Open(ArchivePath(), TZipMode::zmRead);
    zip.ExtractAll(OutText());

    ScopedFileHandle file = OpenWith(OutFile(u"t.txt"), GENERIC_READ, FILE_SHARE_READ);
    FILETIME creation, access, write;
    ASSERT_TRUE(GetFileTime(file.Get(), &creation, &access, &write));
    EXPECT_EQ(CompareFileTime(&write, &expected), 0) << step;
    EXPECT_EQ(CompareFileTime(&creation, &expected), 0) << step;
  }
}

TEST_F(WinExtractTest, TargetsThatCannotBeReplaced) {
  fs::create_directories(scratch_.path() / "out");
  WriteBytes(OutFile(u"locked.txt"), "held open");
  WriteBytes(OutFile(u"readonly.txt"), "protected");
  SetFileAttributesW(W(OutFile(u"readonly.txt")), FILE_ATTRIBUTE_READONLY);
  ScopedFileHandle holder = OpenWith(OutFile(u"locked.txt"), GENERIC_READ, 0);
  ASSERT_TRUE(holder);
  struct Case {
    const char16_t* name;
    const char* original;
    DWORD error;
  } cases[] = {
      {u"locked.txt", "held open", ERROR_SHARING_VIOLATION},
      {u"readonly.txt", "protected", ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    const std::u16string message = CreateErrorOf({{EncodeUtf8(c.name), "new content"}});
    std::u16string full(MAX_PATH, u'\0');
    full.resize(GetFullPathNameW(W(OutFile(c.name)), MAX_PATH, W(full), nullptr));
    EXPECT_EQ(EncodeUtf8(message), EncodeUtf8(u"Cannot create file \"" + full + u"\". " +
                                              SysErrorMessage(c.error)))
        << EncodeUtf8(c.name);
    holder.Reset();
    EXPECT_EQ(ReadBytes(OutFile(c.name)), c.original) << EncodeUtf8(c.name);
    holder = OpenWith(OutFile(u"locked.txt"), GENERIC_READ, 0);
  }
  EXPECT_EQ(testing::ListTree(scratch_.path() / "out"), "locked.txt;readonly.txt;");
}

TEST_F(WinExtractTest, MissingDrive) {
  WriteBytes(ArchivePath(), BuildZip({{"a.txt", "a"}}).bytes);
  std::u16string drive = u"Q:\\";
  while (drive[0] > u'D' && GetDriveTypeW(W(drive)) != DRIVE_NO_ROOT_DIR) --drive[0];
  TZipFile zip(*fs_);
  zip.Open(ArchivePath(), TZipMode::zmRead);
  std::u16string message;
  try {
    zip.ExtractAll(drive + u"dest");
  } catch (const EDirectoryNotFoundException& e) {
    message = e.Message();
  }
  EXPECT_EQ(EncodeUtf8(message), "The drive cannot be found") << EncodeUtf8(drive);
}

TEST_F(WinExtractTest, ArchiveIsLockedUntilReleased) {
  ZipWriterEntry bad{"bad.txt", "x"};
  bad.crc = 7;
  WriteBytes(ArchivePath(), BuildZip({{"a.txt", "a"}, bad}).bytes);
  const std::u16string other = (scratch_.path() / "other.zip").u16string();
  WriteBytes(other, BuildZip({{"b.txt", "b"}}).bytes);
  // Held with no sharing: no other opener, a reader or a writer, comes in.
  auto openable = [&](DWORD access) {
    return OpenWith(ArchivePath(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
        .IsValid();
  };

  TZipFile zip(*fs_);
  zip.SetWaitBudgets(kShortWaits);
  zip.Open(ArchivePath(), TZipMode::zmRead);
  EXPECT_FALSE(openable(GENERIC_WRITE));
  EXPECT_FALSE(openable(GENERIC_READ));
  EXPECT_THROW(zip.ExtractAll(OutText()), EZipException);
  EXPECT_FALSE(openable(GENERIC_WRITE));
  zip.Open(other, TZipMode::zmRead);
  EXPECT_TRUE(openable(GENERIC_WRITE));
  zip.ExtractAll(OutText());
  zip.Close();
  EXPECT_EQ(ReadBytes(OutFile(u"b.txt")), "b");

  ScopedFileHandle holder = OpenWith(ArchivePath(), GENERIC_READ, 0);
  EXPECT_THROW(zip.Open(ArchivePath(), TZipMode::zmRead), EFOpenError);
}

std::u16string Variable(const wchar_t* name);
void WaitForFile(const std::u16string& path);

// This test program run again as another process, in one of the roles below.
struct Child {
  explicit Child(const std::u16string& exe, const char16_t* test) {
    std::u16string command = u"\"" + exe + u"\" --gtest_also_run_disabled_tests --gtest_filter=" +
                             u"ExtractChild.DISABLED_" + test;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    started = CreateProcessW(nullptr, W(command), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info);
    process.Reset(info.hProcess);
    ScopedHandle thread(info.hThread);
  }
  DWORD ExitCode() {
    DWORD code = 1;
    if (WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0) TerminateProcess(process.Get(), 1);
    GetExitCodeProcess(process.Get(), &code);
    return code;
  }
  bool started = false;
  ScopedHandle process;
};

std::u16string Variable(const wchar_t* name) {
  std::u16string value(32768, u'\0');
  value.resize(GetEnvironmentVariableW(name, W(value), static_cast<DWORD>(value.size())));
  return value;
}

// Waits up to 30 s for `path` to appear.
void WaitForFile(const std::u16string& path) {
  for (int i = 0; i < 600 && GetFileAttributesW(W(path)) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

// Holds the file named by TALLYX_HOLD open without delete sharing, as another program
// would, until the file TALLYX_HOLD.release appears.
TEST(ExtractChild, DISABLED_HoldsAFile) {
  const std::u16string held = Variable(L"TALLYX_HOLD");
  ScopedFileHandle file(CreateFileW(W(held), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  WriteBytes(fs::path(held + u".ready"), "");
  WaitForFile(held + u".release");
}

// Tries every way of changing the file TALLYX_CHANGE that another program has: writing
// it, deleting it, renaming it, replacing it by another file. Its exit code has one bit
// for each that succeeded.
TEST(ExtractChild, DISABLED_ChangesAFile) {
  const std::u16string path = Variable(L"TALLYX_CHANGE");
  const std::u16string other = path + u".other";
  WriteBytes(fs::path(other), "changed");
  int changed = 0;
  {
    ScopedFileHandle file(CreateFileW(W(path), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) changed |= 1;
  }
  if (DeleteFileW(W(path))) changed |= 2;
  if (MoveFileExW(W(path), W(path + u".moved"), 0)) changed |= 4;
  if (MoveFileExW(W(other), W(path), MOVEFILE_REPLACE_EXISTING)) changed |= 8;
  DeleteFileW(W(other));
  exit(changed);
}

// Extracts release.zip into the folder TALLYX_FOLDER (however it is spelled), which
// holds this program's own image that the archive replaces, as the updater installs.
TEST(ExtractChild, DISABLED_ReplacesItsOwnImage) {
  const std::u16string folder = Variable(L"TALLYX_FOLDER");
  std::unique_ptr<FileSystem> fileSystem = CreateNativeFileSystem();
  TZipFile zip(*fileSystem);
  zip.Open(folder + u"\\release.zip", TZipMode::zmRead);
  zip.ExtractAll(folder, u"tallyx.exe");
  zip.Close();
  zip.CompleteExtraction();
}

// Keeps the library TALLYX_LIBRARY loaded, as a running program keeps its DLLs, until
// the file TALLYX_LIBRARY.release appears.
TEST(ExtractChild, DISABLED_LoadsALibrary) {
  const std::u16string library = Variable(L"TALLYX_LIBRARY");
  HMODULE module = LoadLibraryW(W(library));
  ASSERT_NE(module, nullptr);
  WriteBytes(fs::path(library + u".ready"), "");
  WaitForFile(library + u".release");
  FreeLibrary(module);
}

// An on-access scanner's stand-in: opens every new or changed file under TALLYX_SCAN for
// reading, with the sharing TALLYX_SCAN_SHARE allows, and holds it 300 ms, one after
// the other, until the file .stop appears there. It counts the holds in .holds.
TEST(ExtractChild, DISABLED_ScansNewFiles) {
  const std::u16string folder = Variable(L"TALLYX_SCAN");
  const DWORD share = Variable(L"TALLYX_SCAN_SHARE") == u"read" ? FILE_SHARE_READ
                                                                : FILE_SHARE_READ | FILE_SHARE_WRITE;
  std::map<std::u16string, std::pair<uint64_t, uint64_t>> seen;  // name -> write time, size
  int holds = 0;
  for (int round = 0; round < 20000 && !fs::exists(fs::path(folder + u"\\.stop")); ++round) {
    std::error_code error;
    for (const auto& item : fs::recursive_directory_iterator(fs::path(folder), error)) {
      const std::u16string name = item.path().filename().u16string();
      if (!item.is_regular_file(error) || name == u".ready" || name == u".stop") continue;
      const std::u16string path = item.path().u16string();
      WIN32_FILE_ATTRIBUTE_DATA data;
      if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) continue;
      const std::pair<uint64_t, uint64_t> stamp{
          (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime,
          (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow};
      if (seen[path] == stamp) continue;
      ScopedFileHandle file = OpenWith(path, GENERIC_READ, share);
      if (!file) continue;  // still being written: looked at again later
      seen[path] = stamp;
      Sleep(300);
      ++holds;
    }
    if (round == 0) WriteBytes(fs::path(folder + u"\\.ready"), "");
    Sleep(5);
  }
  WriteBytes(fs::path(folder + u"\\.holds"), std::to_string(holds));
}

// What the archive's check reads is what the extraction reads: while the reader holds the
// archive, another program can neither write it, nor delete, rename or replace it.
TEST_F(WinExtractTest, AnotherProgramCannotChangeTheHeldArchive) {
  WriteBytes(ArchivePath(), BuildZip({{"a.txt", "checked"}}).bytes);
  SetEnvironmentVariableW(L"TALLYX_CHANGE", W(ArchivePath()));
  {
    TZipFile zip(*fs_);
    zip.Open(ArchivePath(), TZipMode::zmRead);
    Child changer(ExecutablePath(), u"ChangesAFile");
    ASSERT_TRUE(changer.started);
    EXPECT_EQ(changer.ExitCode(), 0u);
    zip.ExtractAll(OutText());
  }
  EXPECT_EQ(ReadBytes(OutFile(u"a.txt")), "checked");
  // Released: the same child changes it at will.
  Child changer(ExecutablePath(), u"ChangesAFile");
  ASSERT_TRUE(changer.started);
  EXPECT_NE(changer.ExitCode(), 0u);
}

TEST_F(WinExtractTest, AFileHeldByAnotherProgramUndoesTheArchive) {
  fs::create_directories(scratch_.path() / "out");
  for (const char16_t* name : {u"a.txt", u"held.txt", u"c.txt"}) WriteBytes(OutFile(name), "old");
  const std::u16string held = OutFile(u"held.txt");
  SetEnvironmentVariableW(L"TALLYX_HOLD", W(held));
  Child holder(ExecutablePath(), u"HoldsAFile");
  ASSERT_TRUE(holder.started);
  WaitForFile(held + u".ready");
  DeleteFileW(W(held + u".ready"));
  const std::u16string message =
      CreateErrorOf({{"a.txt", "new"}, {"held.txt", "new"}, {"c.txt", "new"}});
  WriteBytes(fs::path(held + u".release"), "");
  EXPECT_EQ(holder.ExitCode(), 0u);
  DeleteFileW(W(held + u".release"));
  EXPECT_TRUE(message.ends_with(SysErrorMessage(ERROR_SHARING_VIOLATION))) << EncodeUtf8(message);
  EXPECT_EQ(testing::ListTree(scratch_.path() / "out"), "a.txt;c.txt;held.txt;");
  for (const char16_t* name : {u"a.txt", u"held.txt", u"c.txt"}) {
    EXPECT_EQ(ReadBytes(OutFile(name)), "old") << EncodeUtf8(name);
  }
}

// The names of the extraction's own files left in `folder`.
std::vector<std::string> OursIn(const fs::path& folder) {
  std::vector<std::string> ours;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    const std::string name = item.path().filename().string();
    if (name.find(".~tx") != std::string::npos) ours.push_back(name);
  }
  std::sort(ours.begin(), ours.end());
  return ours;
}

// A file that another program holds for longer than the installation waits: the whole
// installation gives up within its budgets (forward, then undo), however many files the
// release has, and the folder is left exactly as it was.
TEST_F(WinExtractTest, AFileHeldPastTheBudgetEndsTheInstallationWithinIt) {
  const WaitBudgets budgets{2000, 4000};
  for (const int files : {10, 200}) {
    const fs::path out = scratch_.path() / "out";
    fs::remove_all(out);
    fs::create_directories(out / "data");
    std::vector<ZipWriterEntry> release;
    for (int i = 0; i < files; ++i) {
      const std::string name = "data/table" + std::to_string(i) + ".csv";
      WriteBytes(out / name, "installed");
      release.push_back({name, "new " + name});
    }
    const std::u16string held = (out / "data/table3.csv").u16string();
    SetEnvironmentVariableW(L"TALLYX_HOLD", W(held));
    Child holder(ExecutablePath(), u"HoldsAFile");
    ASSERT_TRUE(holder.started);
    WaitForFile(held + u".ready");
    DeleteFileW(W(held + u".ready"));
    WriteBytes(ArchivePath(), BuildZip(release).bytes);
    const ULONGLONG start = GetTickCount64();
    std::string error;
    {
      TZipFile zip(*fs_);
      zip.SetWaitBudgets(budgets);
      zip.Open(ArchivePath(), TZipMode::zmRead);
      error = testing::ErrorOf([&] { zip.ExtractAll(out.u16string()); });
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    WriteBytes(fs::path(held + u".release"), "");
    EXPECT_EQ(holder.ExitCode(), 0u);
    DeleteFileW(W(held + u".release"));
    std::printf("%d files, one held: gave up after %llu ms\n", files, elapsed);
    EXPECT_NE(error, "") << files;
    // The forward budget is spent on the held file and the undo has nothing held to wait
    // for; the slack is for the work itself, slow under Wine.
    EXPECT_GE(elapsed, budgets.forwardMs) << files;
    EXPECT_LT(elapsed, budgets.forwardMs + budgets.undoMs + 20000u) << files;
    for (const ZipWriterEntry& entry : release) {
      EXPECT_EQ(ReadBytes(out / entry.name), "installed") << files << entry.name;
    }
    EXPECT_EQ(OursIn(out), std::vector<std::string>{}) << files;
  }
}

// `path` through the second drive letter that the test start-up maps to drive C's folder,
// as a mapped drive, subst or a UNC path give a second spelling of one folder.
std::u16string OnSecondDrive(const std::u16string& path) {
  EXPECT_NE(GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR)) << "Q: is not mapped";
  EXPECT_TRUE(path.starts_with(u"C:\\") || path.starts_with(u"c:\\")) << EncodeUtf8(path);
  return u"Q" + path.substr(1);
}

// Windows lets a running image be renamed but not written or deleted: the updater moves
// its own file aside, whichever spelling of the folder it was started through and was
// given, and the next extraction removes what it could not.
TEST_F(WinExtractTest, TheRunningProgramReplacesItsOwnFile) {
  const fs::path app = scratch_.path() / "app";
  const std::u16string folder = app.u16string();
  const struct {
    const char* name;
    std::u16string startedAs, extractsInto;
  } cases[] = {
      {"one spelling", folder, folder},
      {"started through Q:, folder as C:", OnSecondDrive(folder), folder},
      {"started through C:, folder as Q:", folder, OnSecondDrive(folder)},
  };
  for (const auto& c : cases) {
    fs::remove_all(app);
    fs::create_directories(app);
    ASSERT_TRUE(CopyFileW(W(ExecutablePath()), W(folder + u"\\updater.exe"), TRUE));
    const std::string newImage = "the next release of the updater";
    WriteBytes(app / "release.zip",
               BuildZip({{"updater.exe", newImage}, {"tallyx.exe", "program"}}).bytes);
    SetEnvironmentVariableW(L"TALLYX_FOLDER", W(c.extractsInto));
    Child updater(c.startedAs + u"\\updater.exe", u"ReplacesItsOwnImage");
    ASSERT_TRUE(updater.started) << c.name;
    EXPECT_EQ(updater.ExitCode(), 0u) << c.name;
    EXPECT_EQ(ReadBytes(app / "updater.exe"), newImage) << c.name;
    EXPECT_EQ(ReadBytes(app / "tallyx.exe"), "program") << c.name;
    // The old image could not be deleted while it ran: its backup stays, with the
    // journal that names it.
    const std::vector<std::string> left = OursIn(app);
    ASSERT_EQ(left.size(), 2u) << c.name;
    EXPECT_TRUE(left[1].starts_with("updater.exe.~tx")) << c.name << " " << left[1];

    TZipFile zip(*fs_);
    zip.Open((app / "release.zip").u16string(), TZipMode::zmRead);
    zip.ExtractAll(folder);
    zip.Close();
    EXPECT_EQ(OursIn(app), std::vector<std::string>{}) << c.name;
  }
}

// A library loaded by another program is moved aside like a running image.
TEST_F(WinExtractTest, ALibraryLoadedByAnotherProgramIsReplaced) {
  const fs::path lib = scratch_.path() / "out" / "lib";
  fs::create_directories(lib);
  const std::u16string library = (lib / "plugin.dll").u16string();
  const std::u16string built = ExecutablePath().substr(0, ExecutablePath().find_last_of(u'\\')) +
                               u"\\tallyx_test_plugin.dll";
  ASSERT_TRUE(CopyFileW(W(built), W(library), FALSE)) << EncodeUtf8(built);
  SetEnvironmentVariableW(L"TALLYX_LIBRARY", W(library));
  Child user(ExecutablePath(), u"LoadsALibrary");
  ASSERT_TRUE(user.started);
  WaitForFile(library + u".ready");
  DeleteFileW(W(library + u".ready"));
  EXPECT_EQ(EncodeUtf8(CreateErrorOf({{"lib/plugin.dll", "the next plugin"}, {"a.txt", "a"}})), "");
  EXPECT_EQ(ReadBytes(lib / "plugin.dll"), "the next plugin");
  WriteBytes(fs::path(library + u".release"), "");
  EXPECT_EQ(user.ExitCode(), 0u);
  DeleteFileW(W(library + u".release"));
  EXPECT_EQ(EncodeUtf8(CreateErrorOf({{"a.txt", "again"}})), "");
  EXPECT_EQ(OursIn(scratch_.path() / "out"), std::vector<std::string>{});
}

// Scanners, indexers and backup agents open each new file for a moment: the installation
// waits them out instead of failing.
TEST_F(WinExtractTest, AnOnAccessScannerIsWaitedOut) {
  for (const char16_t* share : {u"read", u"readwrite"}) {
    const fs::path out = scratch_.path() / "out";
    fs::remove_all(out);
    fs::create_directories(out / "data");
    std::vector<ZipWriterEntry> release;
    for (int i = 0; i < 6; ++i) {
      const std::string name = "data/table" + std::to_string(i) + ".csv";
      WriteBytes(out / name, "installed");
      release.push_back({name, "new " + name});
    }
    release.push_back({"tallyx.exe", "new program"});
    SetEnvironmentVariableW(L"TALLYX_SCAN", W(out.u16string()));
    SetEnvironmentVariableW(L"TALLYX_SCAN_SHARE", W(std::u16string(share)));
    Child scanner(ExecutablePath(), u"ScansNewFiles");
    ASSERT_TRUE(scanner.started);
    WaitForFile((out / ".ready").u16string());
    fs::remove(out / ".ready");
    WriteBytes(ArchivePath(), BuildZip(release).bytes);
    TZipFile zip(*fs_);
    zip.Open(ArchivePath(), TZipMode::zmRead);
    EXPECT_EQ(testing::ErrorOf([&] {
                zip.ExtractAll(out.u16string(), u"tallyx.exe");
                zip.Close();
                zip.CompleteExtraction();
              }),
              "")
        << EncodeUtf8(share);
    WriteBytes(out / ".stop", "");
    EXPECT_EQ(scanner.ExitCode(), 0u);
    // Six old files at the start, then at least the staged files and the journal.
    EXPECT_GT(std::stoi(ReadBytes(out / ".holds")), 6) << EncodeUtf8(share);
    for (const char* name : {".stop", ".holds"}) fs::remove(out / name);
    for (const ZipWriterEntry& entry : release) {
      EXPECT_EQ(ReadBytes(out / entry.name), entry.data) << EncodeUtf8(share) << entry.name;
    }
    EXPECT_EQ(OursIn(out), std::vector<std::string>{}) << EncodeUtf8(share);
  }
}

}  // namespace
}  // namespace tallyx
