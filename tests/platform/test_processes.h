#pragma once
// Starting and waiting for the helper programs built beside the tests.
#include <windows.h>

#include <string>

#include "platform/scoped_handle.h"

namespace tallyx {

struct Child {
  ScopedHandle process;
  DWORD id = 0;

  // Waits up to `milliseconds`; the exit code, or STILL_ACTIVE.
  DWORD Wait(DWORD milliseconds) const {
    WaitForSingleObject(process.Get(), milliseconds);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.Get(), &code);
    return code;
  }
};

inline Child Start(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  Child child;
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    child.process.Reset(info.hProcess);
    child.id = info.dwProcessId;
  }
  return child;
}

// Polls `condition` every 20 ms for up to five seconds.
template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 250; ++i) {
    if (condition()) return true;
    Sleep(20);
  }
  return condition();
}

}  // namespace tallyx
