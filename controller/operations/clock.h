#pragma once
#include <cstdint>

namespace tallyx {

// Time for the controller's bounded waits.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds from an arbitrary origin; never goes back.
  virtual uint64_t NowMs() = 0;
  // Blocks the calling thread for about `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
};

}  // namespace tallyx
