#pragma once
// Finding and terminating processes by the name of their executable.
#include <string_view>

#include "controller/operations/processes.h"

namespace tallyx {

// True when the image name `exe` designates the executable `name`: their file parts
// (after the last '\' or ':') or the whole texts are equal once ASCII letters are
// upper-cased. No locale takes part, so "é" and "É" stay different.
bool ImageNameMatches(std::u16string_view name, std::u16string_view exe);

// Tool Help walk over every process of the machine.
class WinProcesses : public Processes {
 public:
  bool IsProcessRunning(const std::u16string& name) override;
  int32_t KillProcessByName(const std::u16string& name) override;
};

}  // namespace tallyx
