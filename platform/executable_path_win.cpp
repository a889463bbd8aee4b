#include <windows.h>

#include "platform/executable_path.h"
#include "platform/win_text.h"

namespace tallyx {

std::u16string ExecutablePath() {
  std::u16string path(MAX_PATH, u'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, W(path), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace tallyx
