// A library named as a system one (version.dll, wininet.dll, ...), as any user who may
// write the installation folder could put one beside the updater: if it is ever loaded,
// it leaves "<its file>.loaded" beside itself.
#include <windows.h>

extern "C" __declspec(dllexport) int Planted() { return 0; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      lstrcpyW(path + length, L".loaded");
      CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
  }
  return TRUE;
}
