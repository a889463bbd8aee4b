#pragma once
// The application object: the title, the hidden application window that carries the
// taskbar button, the message loop, the end request and the default error report.
#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/one_instance.h"
#include "ui/app_services.h"
#include "ui/callback_guard.h"

namespace tallyx {

class ApplicationWindow;

class Application : public ui::AppServices, public OneInstanceHost, public ui::CallbackErrors {
 public:
  explicit Application(HINSTANCE instance);
  ~Application() override;

  // The title of an executable: its file name without folder, cut at the first ".",
  // every character after the first lower-cased as the system lower-cases text.
  static std::u16string TitleOf(std::u16string_view exePath);

  // The application's main window, once the start-up has created it.
  void SetMainWindow(HWND window) { mainWindow_ = window; }
  // The message loop: runs until the quit message has been taken; returns the exit code.
  int Run();

  // Shared by both interfaces.
  HWND ApplicationWindow() override;
  void Terminate() override;
  void ReportError(const Exception& error) override;

  // ui::AppServices
  const std::u16string& Title() override { return title_; }
  void ProcessMessages() override;
  bool QuitTaken() override { return quitTaken_; }
  void NoteQuitTaken() override { quitTaken_ = true; }
  void ShowApplicationWindow() override;
  void Minimize() override;

  // OneInstanceHost
  HWND MainWindowHandle() override;
  std::vector<std::u16string> CommandLineArguments() override;

  // ui::CallbackErrors: reported at once, or, while ProcessMessages runs (inside a
  // download), kept and raised again by ProcessMessages once the message is handled.
  void Caught(std::exception_ptr error) noexcept override;

 private:
  void Report(std::exception_ptr error) noexcept;

  std::u16string title_;
  std::unique_ptr<class ApplicationWindow> window_;
  HWND mainWindow_ = nullptr;
  bool quitTaken_ = false;
  bool keepErrors_ = false;
  std::exception_ptr keptError_;
};

}  // namespace tallyx
