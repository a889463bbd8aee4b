#pragma once
// The update controller: the start-up check and the installation sequence, driven by
// the main window's event handlers.
#include <string>

#include "controller/operations/operations.h"
#include "controller/update_state.h"

namespace tallyx {

enum class InstallVariant { Install, Forced };

class Updater {
 public:
  Updater(Operations operations, std::u16string manifestUrl);

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

  Operations ops_;
  std::u16string manifestUrl_;
  UpdateState state_;
};

}  // namespace tallyx
