#include <windows.h>

#include "platform/queries.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"

namespace tallyx {

std::u16string WinFileQueries::CurrentDirectory() {
  std::u16string folder;
  // The folder can change length between the two calls; ask again until it fits.
  for (DWORD needed = GetCurrentDirectoryW(0, nullptr); needed != 0;) {
    folder.resize(needed);
    const DWORD written = GetCurrentDirectoryW(needed, W(folder));
    if (written < needed) {
      folder.resize(written);
      return folder;
    }
    needed = written;
  }
  return {};
}

bool WinFileQueries::FileExists(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(W(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  // A link counts when what it leads to is a file that can be opened.
  const ScopedFileHandle target(CreateFileW(W(path), 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  return target && GetFileInformationByHandle(target.Get(), &information) &&
         !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int16_t WinKeyboard::ShiftKeyState() { return GetKeyState(VK_SHIFT); }

uint64_t WinClock::NowMs() { return GetTickCount64(); }

void WinClock::Sleep(uint32_t ms) { ::Sleep(ms); }

}  // namespace tallyx
