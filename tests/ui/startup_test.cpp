// The start-up failure report, seen from outside the failing program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "window_test_support.h"

namespace tallyx::ui {
namespace {

TEST(StartupFailure, ReportedInATaskModalBoxThenExitCode1) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::wstring command = L"startup_failure_probe.exe";
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  HWND box = nullptr;
  for (int i = 0; i < 1000 && !box; ++i) {
    box = FindWindowW(L"#32770", L"Application Error");
    if (!box) Sleep(10);
  }
  ASSERT_TRUE(box);
  DWORD pid = 0;
  GetWindowThreadProcessId(box, &pid);
  EXPECT_EQ(pid, process.dwProcessId);
  std::wstring text = testing::TextOf(GetDlgItem(box, 0xFFFF));
  const std::wstring head = L"Exception EBaseEnabledFailed in module startup_failure_probe.exe at ";
  EXPECT_EQ(text.substr(0, head.size()), head);
  ASSERT_GE(text.size(), head.size() + 8);
  EXPECT_EQ(text.find_first_not_of(L"0123456789ABCDEF", head.size()), head.size() + 8);
  EXPECT_EQ(text.substr(head.size() + 8), L".\r\nAnother instance of the application is started.\r\n");
  EXPECT_TRUE(GetDlgItem(box, IDOK));
  PostMessageW(GetDlgItem(box, IDOK), WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(GetDlgItem(box, IDOK), WM_KEYUP, VK_RETURN, 0);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 1u);
  // No main window was ever shown.
  EXPECT_FALSE(FindWindowW(L"TMaster", nullptr));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace
}  // namespace tallyx::ui
