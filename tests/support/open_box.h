#pragma once
// Finding what a running program shows, for the programs that drive it in tests: the
// window tests (their own process) and the end-to-end driver (the updater's process).
#include <windows.h>

#include <string>
#include <vector>

namespace tallyx::testing {

// The text of any window, a hung one included: gives up after 2 s rather than wait on a
// program that no longer pumps messages.
inline std::wstring TextOf(HWND window) {
  std::vector<wchar_t> buffer(65536);
  SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  return buffer.data();
}

struct BoxSearch {
  DWORD process;
  HWND box;
};

// A named function: on i686 a lambda does not convert to the stdcall WNDENUMPROC.
inline BOOL CALLBACK FindBoxOf(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->process && IsWindowVisible(window) && std::wstring(cls) == L"#32770") {
    search->box = window;
    return FALSE;
  }
  return TRUE;
}

// The visible modal box (dialog class #32770) of `process`, or nullptr.
inline HWND OpenBoxOf(DWORD process) {
  BoxSearch search{process, nullptr};
  EnumWindows(FindBoxOf, reinterpret_cast<LPARAM>(&search));
  return search.box;
}

}  // namespace tallyx::testing
