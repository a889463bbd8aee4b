#pragma once
// The installation folder's rights: a probe file, the token's elevation, and the
// relaunch of the program with an administrator's rights ("runas").
#include <functional>
#include <string>

#include "controller/operations/install_folder.h"

namespace tallyx {

class WinInstallFolderAccess : public InstallFolderAccess {
 public:
  // `holdInstanceName(false)` gives up the single-instance name so that the elevated
  // copy is not taken for a second one; `holdInstanceName(true)` claims it again.
  // `program` is the file started again: this program's own.
  explicit WinInstallFolderAccess(std::function<void(bool)> holdInstanceName,
                                  std::u16string program = {});

  bool AcceptsNewFile(const std::u16string& folder) override;
  bool IsElevated() override;
  bool RelaunchElevated(const std::u16string& folder) override;

 private:
  std::function<void(bool)> holdInstanceName_;
  std::u16string program_;
};

}  // namespace tallyx
