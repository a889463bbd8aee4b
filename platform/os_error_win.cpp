#include <windows.h>

#include "platform/os_error.h"
#include "platform/win_text.h"

namespace tallyx {

std::u16string SysErrorMessage(uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text = length ? FromW(buffer, length) : std::u16string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.pop_back();
  return text;
}

EOSError OSErrorFromCode(uint32_t code) {
  if (code == 0) return EOSError(u"A call to an OS function failed", 0);
  const std::string number = std::to_string(code);
  return EOSError(u"System Error.  Code: " + std::u16string(number.begin(), number.end()) +
                      u".\r\n" + SysErrorMessage(code),
                  code);
}

void RaiseLastOSError() { throw OSErrorFromCode(GetLastError()); }

}  // namespace tallyx
