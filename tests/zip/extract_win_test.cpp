// What only the Win32 file system shows: attributes, both times, exclusive opening.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/text.h"
#include "platform/executable_path.h"
#include "platform/native_file_system.h"
#include "platform/os_error.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"
#include "tests/zip/scratch.h"
#include "tests/zip/zip_writer.h"
#include "zip/zip_file.h"

namespace tallyx {
namespace {

using testing::BuildZip;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::TestEntry;
using testing::WriteBytes;
namespace fs = std::filesystem;

class WinExtractTest : public ::testing::Test {
 protected:
  std::u16string ArchivePath() const { return (scratch_.path() / "archive.zip").u16string(); }
  std::u16string OutText() const { return (scratch_.path() / "out").u16string(); }
  std::u16string OutFile(const char16_t* name) const { return OutText() + u"\\" + name; }
  // The message of the EFCreateError that extracting `entries` into out raises.
  std::u16string CreateErrorOf(const std::vector<TestEntry>& entries) {
    WriteBytes(ArchivePath(), BuildZip(entries).bytes);
    TZipFile zip(*fs_);
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
  std::vector<TestEntry> entries;
  for (const Case& c : cases) {
    TestEntry entry{EncodeUtf8(c.name), "x"};
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

TEST_F(WinExtractTest, CreationAndLastWriteTimes) {
  WriteBytes(ArchivePath(), BuildZip({{"t.txt", "x"}}).bytes);
  TZipFile zip(*fs_);
  zip.Open(ArchivePath(), TZipMode::zmRead);
  zip.ExtractAll(OutText());

  // 2021-03-05 14:30:10 in the tests' time zone, three hours east of UTC.
  SYSTEMTIME utc{2021, 3, 5, 5, 11, 30, 10, 0};
  FILETIME expected;
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &expected));
  ScopedFileHandle file = OpenWith(OutFile(u"t.txt"), GENERIC_READ, FILE_SHARE_READ);
  FILETIME creation, access, write;
  ASSERT_TRUE(GetFileTime(file.Get(), &creation, &access, &write));
  EXPECT_EQ(CompareFileTime(&write, &expected), 0);
  EXPECT_EQ(CompareFileTime(&creation, &expected), 0);
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
  TestEntry bad{"bad.txt", "x"};
  bad.crc = 7;
  WriteBytes(ArchivePath(), BuildZip({{"a.txt", "a"}, bad}).bytes);
  const std::u16string other = (scratch_.path() / "other.zip").u16string();
  WriteBytes(other, BuildZip({{"b.txt", "b"}}).bytes);
  auto openable = [&] { return OpenWith(ArchivePath(), GENERIC_READ, FILE_SHARE_READ).IsValid(); };

  TZipFile zip(*fs_);
  zip.Open(ArchivePath(), TZipMode::zmRead);
  EXPECT_FALSE(openable());
  EXPECT_THROW(zip.ExtractAll(OutText()), EZipException);
  EXPECT_FALSE(openable());
  zip.Open(other, TZipMode::zmRead);
  EXPECT_TRUE(openable());
  zip.ExtractAll(OutText());
  zip.Close();
  EXPECT_EQ(ReadBytes(OutFile(u"b.txt")), "b");

  ScopedFileHandle holder = OpenWith(ArchivePath(), GENERIC_READ, 0);
  EXPECT_THROW(zip.Open(ArchivePath(), TZipMode::zmRead), EFOpenError);
}

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

// Extracts release.zip beside its own image, which the archive replaces.
TEST(ExtractChild, DISABLED_ReplacesItsOwnImage) {
  const std::u16string image = ExecutablePath();
  const std::u16string folder = image.substr(0, image.find_last_of(u'\\'));
  std::unique_ptr<FileSystem> fileSystem = CreateNativeFileSystem();
  TZipFile zip(*fileSystem);
  zip.Open(folder + u"\\release.zip", TZipMode::zmRead);
  zip.ExtractAll(folder, u"tallyx.exe");
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

// Windows lets a running image be renamed but not written or deleted: the updater moves
// its own file aside, and the next extraction removes what it could not.
TEST_F(WinExtractTest, TheRunningProgramReplacesItsOwnFile) {
  const fs::path app = scratch_.path() / "app";
  fs::create_directories(app);
  const std::u16string image = (app / "updater.exe").u16string();
  ASSERT_TRUE(CopyFileW(W(ExecutablePath()), W(image), TRUE));
  const std::string newImage = "the next release of the updater";
  WriteBytes(app / "release.zip",
             BuildZip({{"updater.exe", newImage}, {"tallyx.exe", "program"}}).bytes);
  Child updater(image, u"ReplacesItsOwnImage");
  ASSERT_TRUE(updater.started);
  EXPECT_EQ(updater.ExitCode(), 0u);
  EXPECT_EQ(ReadBytes(app / "updater.exe"), newImage);
  EXPECT_EQ(ReadBytes(app / "tallyx.exe"), "program");
  std::vector<std::string> backups;
  for (const auto& item : fs::directory_iterator(app)) {
    const std::string name = item.path().filename().string();
    if (name.starts_with("updater.exe.~tx")) backups.push_back(name);
  }
  ASSERT_EQ(backups.size(), 1u);

  TZipFile zip(*fs_);
  zip.Open((app / "release.zip").u16string(), TZipMode::zmRead);
  zip.ExtractAll(app.u16string());
  zip.Close();
  EXPECT_FALSE(fs::exists(app / backups[0]));
}

}  // namespace
}  // namespace tallyx
