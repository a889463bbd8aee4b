#pragma once
#include <cstdint>

namespace tallyx {

class Keyboard {
 public:
  virtual ~Keyboard() = default;
  // GetKeyState(VK_SHIFT): non-zero while the key is down or its toggle bit is set.
  virtual int16_t ShiftKeyState() = 0;
};

}  // namespace tallyx
