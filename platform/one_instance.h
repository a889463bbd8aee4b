#pragma once
// Single-instance guard: a named 16-byte shared-memory record claimed by the first
// copy; a later copy finds it and asks its application to end.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/errors.h"

namespace tallyx {

// What the guard needs from the GUI runtime around it.
class OneInstanceHost {
 public:
  virtual ~OneInstanceHost() = default;
  virtual HWND ApplicationWindow() = 0;
  // The application's main window if it has one, else the window of the form that
  // owns the guard (created on demand), else NULL.
  virtual HWND MainWindowHandle() = 0;
  virtual void Terminate() = 0;                        // Application.Terminate
  virtual void ReportError(const Exception& error) = 0;  // default error report
  virtual std::vector<std::u16string> CommandLineArguments() = 0;  // argument 0 first
};

// The shared record, exactly as it lies in the block.
struct InstanceRecord {
  uint32_t hInst;
  uint32_t hAppWin;
  uint32_t hMainWin;
  uint32_t hMsgWin;
};
static_assert(sizeof(InstanceRecord) == 16);

}  // namespace tallyx
