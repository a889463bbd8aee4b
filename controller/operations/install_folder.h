#pragma once
#include <string>

namespace tallyx {

// What the installation needs to know about its rights over the installation folder.
class InstallFolderAccess {
 public:
  virtual ~InstallFolderAccess() = default;
  // True when a new file can be created in `folder` (a probe of our own, created and
  // removed again).
  virtual bool AcceptsNewFile(const std::u16string& folder) = 0;
  // True when the program runs with an administrator's full rights.
  virtual bool IsElevated() = 0;
  // Gives up the single-instance name and starts this program again with an
  // administrator's rights, with `folder` as its current directory. True once the new
  // copy has been started; false when the user refused or elevation is unavailable, and
  // then the name is held again.
  virtual bool RelaunchElevated(const std::u16string& folder) = 0;
};

}  // namespace tallyx
