#pragma once
// Texts the application object derives: its title and the two error reports.
#include <cstdint>
#include <string>
#include <string_view>

namespace tallyx::ui {

// The executable's file name without its folder, cut at its first ".", every character
// after the first passed through `lowerCase` (the system's own lower-casing):
// "C:\Tallyx\MyUpdater.new.exe" gives "Myupdater".
using LowerCase = std::u16string (*)(std::u16string text);
std::u16string ApplicationTitle(std::u16string_view exePath, LowerCase lowerCase);

// The file name part of a Windows path (after the last "\", "/" or drive ":").
std::u16string_view FileNameOf(std::u16string_view path);

// Text of the default error report: the message, with "." appended when the code of its
// last character is above that of the full stop (46).
std::u16string ErrorReportText(std::u16string_view message);

// Text of the start-up failure report:
// "Exception <class> in module <module> at <address>.\r\n<message><.>\r\n"; the address is
// eight upper-case hexadecimal digits, the "." is added to a non-empty message that does
// not end with one.
std::u16string StartupFailureText(std::u16string_view className, std::u16string_view module,
                                  uint32_t address, std::u16string_view message);

}  // namespace tallyx::ui
