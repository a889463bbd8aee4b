// TallyxUpdater: keeps the Tallyx application of the current folder up to date.
#include <windows.h>
#include <delayimp.h>

#include <algorithm>
#include <memory>

#include "app/startup.h"
#include "controller/updater.h"
#include "platform/exe_version.h"
#include "platform/install_folder.h"
#include "platform/one_instance.h"
#include "platform/processes.h"
#include "platform/queries.h"
#include "platform/signature.h"
#include "platform/web.h"
#include "zip/changed_entries.h"
#include "zip/zip_archive.h"
#include "platform/native_file_system.h"

// Test builds may shorten the network's limits, as they move the manifest address.
#ifndef TALLYX_CONNECT_LIMIT_MS
#define TALLYX_CONNECT_LIMIT_MS 30000
#endif
#ifndef TALLYX_STALL_LIMIT_MS
#define TALLYX_STALL_LIMIT_MS 60000
#endif
#ifndef TALLYX_FETCH_LIMIT_MS
#define TALLYX_FETCH_LIMIT_MS 120000
#endif
// And the installation's patience with files in use.
#ifndef TALLYX_FORWARD_WAIT_MS
#define TALLYX_FORWARD_WAIT_MS 30000
#endif
#ifndef TALLYX_UNDO_WAIT_MS
#define TALLYX_UNDO_WAIT_MS 120000
#endif

namespace tallyx {
namespace {

constexpr NetworkLimits kNetworkLimits{TALLYX_CONNECT_LIMIT_MS, TALLYX_STALL_LIMIT_MS,
                                       TALLYX_FETCH_LIMIT_MS};
constexpr WaitBudgets kWaitBudgets{TALLYX_FORWARD_WAIT_MS, TALLYX_UNDO_WAIT_MS};

#ifdef TALLYX_TEST_UNELEVATED
// Wine runs every process elevated; this test build takes itself for a standard user's so
// that the relaunch can run for real.
class FolderAccess : public WinInstallFolderAccess {
 public:
  using WinInstallFolderAccess::WinInstallFolderAccess;
  bool IsElevated() override { return false; }
};
#else
using FolderAccess = WinInstallFolderAccess;
#endif

// While a terminated Tallyx ends, the installation waits on the window's thread: the wait
// takes the window's messages, as the installation's other waits do, in slices short
// enough that the window answers at once.
class WindowClock : public WinClock {
 public:
  void Sleep(uint32_t ms) override {
    const uint64_t end = NowMs() + ms;
    for (uint64_t now = NowMs(); now < end; now = NowMs()) {
      WinClock::Sleep(static_cast<uint32_t>(std::min<uint64_t>(end - now, kSliceMs)));
      if (ui::Master) ui::Master->ProcessMessages();
    }
  }

 private:
  static constexpr uint64_t kSliceMs = 15;
};

// Everything that hangs on the main window, in the order the start-up builds it; the
// window's events go to the update controller.
class Program : public ui::MasterHandlers {
 public:
  Program(Application& app, ui::TMaster& master)
      : web_(kNetworkLimits),
        downloads_([] { return static_cast<ProgressView*>(ui::Master); }, kNetworkLimits),
        installFolder_([this](bool hold) { ElOneInstance1.SetEnabled(hold); }),
        archives_(*fileSystem_, verifier_.get()),
        updater_(Operations{web_, downloads_, files_, exeVersion_, keyboard_, processes_,
                            archives_, master, clock_, installFolder_},
                 TALLYX_MANIFEST_URL, &releaseSignatures_, kWaitBudgets, &changedEntries_),
        ElOneInstance1(app) {
    // The installation folder is the current folder; users who may write it, and nothing
    // else, can put links in it, which no file operation of the program may follow.
    fileSystem_->Confine(u".");
    // The guard's stored settings, applied once the window is loaded: a second copy finds
    // the name taken and requests the end of the program.
    ElOneInstance1.BeginLoading();
    ElOneInstance1.SetMapName(u"TallyxUpdater");
    ElOneInstance1.SetNoAutoTerminate(false);
    ElOneInstance1.SetEnabled(true);
    ElOneInstance1.Loaded();
  }

  void FormCreate() override { updater_.FormCreate(); }
  void UpdateTimerTimer() override { updater_.UpdateTimerTimer(); }
  void cxButton1Click() override { updater_.cxButton1Click(); }
  void ForcerleRetlechargement1Click() override { updater_.ForcerleRetlechargement1Click(); }
  void cxButton2Click() override { updater_.cxButton2Click(); }
  void cxButton3Click() override { updater_.cxButton3Click(); }

 private:
  WinWebTextFetch web_;
  WinDownloads downloads_;
  WinFileQueries files_;
  WinExeVersion exeVersion_;
  WinKeyboard keyboard_;
  WinProcesses processes_;
  WindowClock clock_;
  FolderAccess installFolder_;
  std::unique_ptr<FileSystem> fileSystem_ = CreateNativeFileSystem();
  std::unique_ptr<SignatureVerifier> verifier_ = CreateSignatureVerifier();
  ZipArchiveFactory archives_;
  ReleaseSignatures releaseSignatures_{*verifier_, BuiltInReleaseKeys()};
  ZipChangedEntriesFactory changedEntries_{*fileSystem_, *verifier_};
  Updater updater_;
  TElOneInstance ElOneInstance1;
};

// The libraries that are not among Windows' KnownDLLs (cmake/LateLibraries.cmake) are
// loaded at their first call, and only from the system folder: never the program's own
// folder, where the loader would look first and any user who may write the installation
// folder could plant a library of the same name. LOAD_LIBRARY_SEARCH_SYSTEM32 also takes
// their own dependencies from there (Microsoft's documentation of LoadLibraryExW). Systems
// without the flag (Windows 7 before KB2533623) refuse it: the full path does the same.
FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  wchar_t name[MAX_PATH];
  if (!MultiByteToWideChar(CP_ACP, 0, info->szDll, -1, name, MAX_PATH)) return nullptr;
  HMODULE library = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library && GetLastError() == ERROR_INVALID_PARAMETER) {
    wchar_t path[MAX_PATH * 2];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    lstrcpynW(path + length + 1, name, MAX_PATH);
    library = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return reinterpret_cast<FARPROC>(library);
}

}  // namespace
}  // namespace tallyx

extern "C" PfnDliHook __pfnDliNotifyHook2 = tallyx::LoadFromSystemFolder;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // First of all: every library that the system itself loads for the program later
  // (WinINet's own dependencies, the theme's, the shell's) comes from the system folder
  // too, never from the program's folder or the current one.
  // (Looked up: Windows 7 before KB2533623 has no such function.)
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  if (const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")))) {
    set(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  return tallyx::RunApplication([](tallyx::Application& app, tallyx::ui::TMaster& master) {
    return std::make_unique<tallyx::Program>(app, master);
  });
}
