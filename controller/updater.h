#pragma once
// The update controller: the start-up check and the installation sequence, driven by
// the main window's event handlers.
#include <string>

#include "controller/operations/changed_entries.h"
#include "controller/operations/operations.h"
#include "controller/release_signature.h"
#include "controller/update_state.h"

namespace tallyx {

enum class InstallVariant { Install, Forced };

class Updater {
 public:
  // With `signatures` checking (a build with release keys), only a signed manifest is
  // read and only a signed archive opened.
  // An installation waits for files that other programs hold within `waits`, in all.
  // With `changes`, a signed release whose index is published is installed from the
  // entries that differ from the installed files, fetched by range requests.
  Updater(Operations operations, std::u16string manifestUrl,
          ReleaseSignatures* signatures = nullptr, WaitBudgets waits = {},
          ChangedEntriesFactory* changes = nullptr);

  // Main window created: creates the download callback object.
  void FormCreate();
  // First tick of the start-up timer: the update check.
  void UpdateTimerTimer();
  // The three commands of the offer, and Quit.
  void cxButton1Click();
  void ForcerleRetlechargement1Click();
  void cxButton2Click();
  void cxButton3Click();

  const UpdateState& State() const { return state_; }

 private:
  void InstallRelease(InstallVariant variant);
  // After a termination request: tests again every 100 ms or so until no Tallyx is
  // listed or about 5 s have passed; true while one is still listed.
  bool WaitWhileTallyxRuns();
  // Fetches the release's changed entries into `path` when its index is published and
  // signed; false when the release is to be downloaded whole.
  // `signedLength`: set to the archive's length when the index verified.
  bool FetchChangedEntries(ChangedEntries& changes, const std::u16string& path,
                           uint64_t& signedLength);
  bool ChecksSignatures() const { return signatures_ && signatures_->Enabled(); }

  Operations ops_;
  std::u16string manifestUrl_;
  ReleaseSignatures* signatures_;
  WaitBudgets waits_;
  ChangedEntriesFactory* changes_;
  UpdateState state_;
};

}  // namespace tallyx
