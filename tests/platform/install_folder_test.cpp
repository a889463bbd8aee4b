// The installation folder's probe and the relaunch, with real files and a real child.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/install_folder.h"
#include "platform/win_text.h"
#include "tests/platform/test_processes.h"

namespace tallyx {
namespace {

std::u16string ScratchFolder(const char* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::u16string folder =
      FromW(temp) + U16(std::string("tallyx-") + name + "-" + std::to_string(GetCurrentProcessId()));
  CreateDirectoryW(W(folder), nullptr);
  return folder;
}

std::vector<std::u16string> Entries(const std::u16string& folder) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(W(folder + u"\\*"), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::u16string name = FromW(found.cFileName);
    if (name != u"." && name != u"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::u16string CurrentFolder() {
  wchar_t folder[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, folder);
  return FromW(folder);
}

TEST(InstallFolder, ProbeCreatesAndRemovesItsOwnFile) {
  const std::u16string folder = ScratchFolder("probe");
  const std::u16string file = folder + u"\\tallyx.exe";
  CloseHandle(CreateFileW(W(file), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const struct {
    const char* name;
    std::u16string folder;
    bool accepts;
  } cases[] = {
      {"writable folder", folder, true},
      {"missing folder", folder + u"\\absent", false},
      {"a file, not a folder", file, false},
      {"invalid name", folder + u"\\a<b", false},
  };
  WinInstallFolderAccess access(nullptr);
  for (const auto& c : cases) {
    EXPECT_EQ(access.AcceptsNewFile(c.folder), c.accepts) << c.name;
    EXPECT_EQ(Entries(folder), std::vector<std::u16string>{u"tallyx.exe"})
        << c.name << ": the probe was left behind or something else changed";
  }
  DeleteFileW(W(file));
  RemoveDirectoryW(W(folder));
}

TEST(InstallFolder, ElevationAsWineReportsIt) {
  // Wine runs every process of a fresh prefix elevated; Windows answers per token.
  WinInstallFolderAccess access(nullptr);
  std::printf("elevated: %d\n", access.IsElevated() ? 1 : 0);
}

TEST(InstallFolder, RelaunchGivesUpTheNameFirstAndStartsInTheFolder) {
  const std::u16string folder = ScratchFolder("relaunch");
  const std::u16string report = folder + u"\\started_in.txt";
  DeleteFileW(W(report));
  std::vector<std::string> events;
  auto hold = [&](bool held) {
    // The child must not exist yet while the name is still held.
    events.push_back(std::string(held ? "claim" : "release") +
                     (GetFileAttributesW(W(report)) == INVALID_FILE_ATTRIBUTES ? "" : " late"));
  };
  const struct {
    const char* name;
    std::u16string program;
    bool started;
    std::vector<std::string> events;
  } cases[] = {
      {"started", CurrentFolder() + u"\\start_folder_reporter.exe", true, {"release"}},
      {"cannot start: the name is claimed again", CurrentFolder() + u"\\absent.exe", false,
       {"release", "claim"}},
  };
  for (const auto& c : cases) {
    events.clear();
    WinInstallFolderAccess access(hold, c.program);
    EXPECT_EQ(access.RelaunchElevated(folder), c.started) << c.name;
    EXPECT_EQ(events, c.events) << c.name;
    if (!c.started) continue;
    ASSERT_TRUE(Eventually([&] {
      return GetFileAttributesW(W(report)) != INVALID_FILE_ATTRIBUTES;
    })) << c.name;
    std::u16string startedIn;
    for (int i = 0; i < 50 && startedIn.empty(); ++i, Sleep(20)) {
      const HANDLE file = CreateFileW(W(report), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      wchar_t text[MAX_PATH] = {};
      DWORD read = 0;
      ReadFile(file, text, sizeof(text) - sizeof(wchar_t), &read, nullptr);
      CloseHandle(file);
      startedIn = FromW(text);
    }
    EXPECT_EQ(EncodeUtf8(startedIn), EncodeUtf8(folder)) << c.name;
    DeleteFileW(W(report));
  }
  // The child's current directory is the folder until it has ended.
  EXPECT_TRUE(Eventually([&] {
    RemoveDirectoryW(W(folder));
    return GetFileAttributesW(W(folder)) == INVALID_FILE_ATTRIBUTES;
  }));
}

}  // namespace
}  // namespace tallyx
