#include <windows.h>
#include <tlhelp32.h>

#include "platform/processes.h"
#include "platform/scoped_handle.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

// Tool Help is looked up in the already loaded kernel32 rather than imported, so a
// system without it yields an empty walk instead of a program that does not start.
struct ToolHelp {
  decltype(&::CreateToolhelp32Snapshot) createSnapshot = nullptr;
  decltype(&::Process32FirstW) first = nullptr;
  decltype(&::Process32NextW) next = nullptr;
};

const ToolHelp& ToolHelpEntryPoints() {
  static const ToolHelp entryPoints = [] {
    ToolHelp t;
    if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
      t.createSnapshot = reinterpret_cast<decltype(t.createSnapshot)>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "CreateToolhelp32Snapshot")));
      t.first = reinterpret_cast<decltype(t.first)>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "Process32FirstW")));
      t.next = reinterpret_cast<decltype(t.next)>(
          reinterpret_cast<void*>(GetProcAddress(kernel, "Process32NextW")));
    }
    return t;
  }();
  return entryPoints;
}

// Calls `visit` with each process entry whose image name matches `name`.
template <typename Visit>
void ForEachMatchingProcess(const std::u16string& name, Visit visit) {
  const ToolHelp& toolHelp = ToolHelpEntryPoints();
  if (!toolHelp.createSnapshot || !toolHelp.first || !toolHelp.next) return;
  const ScopedFileHandle snapshot(toolHelp.createSnapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = toolHelp.first(snapshot.Get(), &entry); more;
       more = toolHelp.next(snapshot.Get(), &entry)) {
    const size_t length = wcsnlen(entry.szExeFile, MAX_PATH);
    if (ImageNameMatches(name, FromW(entry.szExeFile, length))) visit(entry);
  }
}

}  // namespace

bool WinProcesses::IsProcessRunning(const std::u16string& name) {
  bool found = false;
  ForEachMatchingProcess(name, [&](const PROCESSENTRY32W&) { found = true; });
  return found;
}

int32_t WinProcesses::KillProcessByName(const std::u16string& name) {
  int32_t result = 0;
  ForEachMatchingProcess(name, [&](const PROCESSENTRY32W& entry) {
    const ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    result = process ? TerminateProcess(process.Get(), 0) : 0;
  });
  return result;
}

}  // namespace tallyx
