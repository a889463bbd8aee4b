#include <windows.h>
#include <shellapi.h>

#include <string>

#include "base/text.h"
#include "platform/executable_path.h"
#include "platform/install_folder.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"

namespace tallyx {

WinInstallFolderAccess::WinInstallFolderAccess(std::function<void(bool)> holdInstanceName,
                                               std::u16string program)
    : holdInstanceName_(std::move(holdInstanceName)),
      program_(program.empty() ? ExecutablePath() : std::move(program)) {}

bool WinInstallFolderAccess::AcceptsNewFile(const std::u16string& folder) {
  // A name of our own that no release carries, never an existing file's nor a link's
  // (CREATE_NEW, which fails on any name that stands, and opens no reparse point);
  // removed by the system when the handle closes, even if the program ends in between.
  // Plain concatenation, as for every path of the installation folder.
  const std::u16string probe = folder + u"\\.~txprobe" +
                               U16(std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(GetTickCount64())) +
                               u".tmp";
  const ScopedFileHandle file(CreateFileW(W(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY |
                                              FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
  return file.IsValid();
}

bool WinInstallFolderAccess::IsElevated() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const ScopedHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  // Systems without elevation (no such token class) count as not elevated: the relaunch
  // then offers the system's own "Run as" choice.
  return GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation),
                             &size) &&
         elevation.TokenIsElevated != 0;
}

bool WinInstallFolderAccess::RelaunchElevated(const std::u16string& folder) {
  // The new copy claims the name as it starts; while this copy held it, the new one
  // would take itself for a second copy and end at once.
  if (holdInstanceName_) holdInstanceName_(false);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  // No process handle is kept: the new copy lives on its own.
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = W(program_);
  info.lpDirectory = W(folder);
  info.nShow = SW_SHOWNORMAL;
  // Returns once the user has answered the consent prompt: FALSE with ERROR_CANCELLED
  // when refused (before Vista the system's "Run as" box takes the prompt's place).
  // Wine 8 starts the program as for "open", without asking: every process there is
  // already elevated.
  if (ShellExecuteExW(&info)) return true;
  if (holdInstanceName_) holdInstanceName_(true);
  return false;
}

}  // namespace tallyx
