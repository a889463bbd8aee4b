#pragma once
#include <cstdint>
#include <string>

namespace tallyx {

class Processes {
 public:
  virtual ~Processes() = default;
  // True while any process's image name matches `name`.
  virtual bool IsProcessRunning(const std::u16string& name) = 0;
  // Asks every matching process to terminate; the outcome of the last request
  // (non-zero for success), or 0 when nothing matched.
  virtual int32_t KillProcessByName(const std::u16string& name) = 0;
};

}  // namespace tallyx
