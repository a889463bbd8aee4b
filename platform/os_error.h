#pragma once
// Operating-system failures as the program's errors, in one place.
#include <cstdint>
#include <string>

#include "base/errors.h"

namespace tallyx {

// The system's text for `code` (FormatMessageW, flags 0x3300, language 0) with trailing
// blanks, control characters and full stops removed.
std::u16string SysErrorMessage(uint32_t code);

// EOSError "System Error.  Code: %d.\r\n%s" for `code`, or "A call to an OS function
// failed" for code 0.
EOSError OSErrorFromCode(uint32_t code);

// Raises OSErrorFromCode(GetLastError()).
[[noreturn]] void RaiseLastOSError();

}  // namespace tallyx
