// Started by the relaunch tests in place of the updater: writes the folder it was started
// in to started_in.txt in that folder, then ends.
#include <windows.h>

int wmain() {
  wchar_t folder[MAX_PATH] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
  const HANDLE file = CreateFileW(L"started_in.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, folder, length * sizeof(wchar_t), &written, nullptr);
  CloseHandle(file);
  return 0;
}
