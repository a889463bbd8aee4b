#pragma once
// What the window and the modal boxes need from the application object around them.
#include <windows.h>

#include <string>

#include "base/errors.h"

namespace tallyx::ui {

class AppServices {
 public:
  virtual ~AppServices() = default;
  virtual HWND ApplicationWindow() = 0;
  virtual const std::u16string& Title() = 0;
  // Application.Terminate: posts the quit message; the caller's handler runs on.
  virtual void Terminate() = 0;
  // Handles every pending message of the thread, then returns.
  virtual void ProcessMessages() = 0;
  // True once a message loop (the main one, ProcessMessages or a box's) has taken the
  // quit message; NoteQuitTaken records that.
  virtual bool QuitTaken() = 0;
  virtual void NoteQuitTaken() = 0;
  // The default error report; the caller's loop goes on afterwards.
  virtual void ReportError(const Exception& error) = 0;
  // Makes the application window, and with it the taskbar button, visible.
  virtual void ShowApplicationWindow() = 0;
  // Minimises the program to its taskbar button.
  virtual void Minimize() = 0;
};

}  // namespace tallyx::ui
