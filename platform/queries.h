#pragma once
// Small questions the update check asks of the system.
#include "controller/operations/clock.h"
#include "controller/operations/files.h"
#include "controller/operations/keyboard.h"

namespace tallyx {

class WinFileQueries : public FileQueries {
 public:
  std::u16string CurrentDirectory() override;
  bool FileExists(const std::u16string& path) override;
};

class WinKeyboard : public Keyboard {
 public:
  int16_t ShiftKeyState() override;
};

class WinClock : public Clock {
 public:
  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;
};

}  // namespace tallyx
