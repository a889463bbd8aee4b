#include "app/application.h"

#include <shellapi.h>

#include <utility>

#include "base/text.h"
#include "platform/executable_path.h"
#include "platform/win_text.h"
#include "ui/app_text.h"
#include "ui/master.h"
#include "ui/message_boxes.h"
#include "ui/window_base.h"

namespace tallyx {

// Hidden, zero-sized, centred on the screen and captioned with the title: while visible it
// is what the taskbar button stands for.
class ApplicationWindow : public ui::WindowBase {
 public:
  ApplicationWindow(Application& app, const std::u16string& title) : app_(app) {
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    RegisterClassOnce(L"TApplication", 0, nullptr, icon);
    Create(L"TApplication", 0, WS_POPUP | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX, W(title),
           GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0, nullptr, 0);
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  }

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    switch (message) {
      case WM_CLOSE:
        app_.Terminate();
        return 0;
      case WM_ACTIVATE:
        // The taskbar button, and a closing box, activate this zero-sized window: hand the
        // activation on to the window the user last worked in (an open box, else the main
        // window, which gives the keyboard to its history box).
        if (LOWORD(wParam) != WA_INACTIVE) {
          auto usable = [this](HWND w) { return w && w != Handle() && IsWindowVisible(w) && IsWindowEnabled(w); };
          HWND popup = GetLastActivePopup(Handle());
          if (!usable(popup)) popup = app_.MainWindowHandle();
          if (usable(popup)) SetActiveWindow(popup);
        }
        return 0;
      case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_RESTORE && IsIconic(Handle())) {
          LRESULT result = WindowBase::HandleMessage(message, wParam, lParam);
          if (HWND main = app_.MainWindowHandle()) ShowWindow(main, SW_SHOW);
          return result;
        }
        break;
    }
    return WindowBase::HandleMessage(message, wParam, lParam);
  }

 private:
  Application& app_;
};

namespace {

std::u16string SystemLowerCase(std::u16string text) {
  if (!text.empty()) CharLowerBuffW(W(text), DWORD(text.size()));
  return text;
}

}  // namespace

std::u16string Application::TitleOf(std::u16string_view exePath) {
  return ui::ApplicationTitle(exePath, SystemLowerCase);
}

Application::Application(HINSTANCE)
    : title_(TitleOf(ExecutablePath())), window_(std::make_unique<class ApplicationWindow>(*this, title_)) {
  ui::SetCallbackErrors(this);
}

Application::~Application() { ui::SetCallbackErrors(nullptr); }

HWND Application::ApplicationWindow() { return window_->Handle(); }

// While the start-up is still running the application has no main window yet: the window
// that is being created stands in for it.
HWND Application::MainWindowHandle() {
  if (mainWindow_) return mainWindow_;
  return ui::Master ? ui::Master->Handle() : nullptr;
}

void Application::Terminate() { PostQuitMessage(0); }

int Application::Run() {
  MSG msg;
  while (!quitTaken_) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      quitTaken_ = true;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

void Application::ProcessMessages() {
  // The download that calls this is inside the system's code: an error that a handler
  // raises in here waits until its message is handled, then leaves through this call.
  const bool outerKeep = std::exchange(keepErrors_, true);
  MSG msg;
  while (!keptError_ && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // Taking the quit message only records the end: the window goes on painting,
    // moving and sizing until the running command returns to the main loop.
    if (msg.message == WM_QUIT) {
      quitTaken_ = true;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  keepErrors_ = outerKeep;
  if (keptError_ && !keepErrors_) std::rethrow_exception(std::exchange(keptError_, nullptr));
}

void Application::Caught(std::exception_ptr error) noexcept {
  if (keepErrors_) {
    if (!keptError_) keptError_ = std::move(error);
    return;
  }
  Report(std::move(error));
}

void Application::Report(std::exception_ptr error) noexcept {
  try {
    try {
      std::rethrow_exception(std::move(error));
    } catch (const Exception& e) {
      ReportError(e);
    } catch (const std::exception& e) {
      ReportError(Exception(U16(e.what())));
    } catch (...) {
      ReportError(Exception(u""));
    }
  } catch (...) {
    // The report itself failed (no memory for the box): nothing is left to show it.
  }
}

void Application::ReportError(const Exception& error) {
  ui::ShowErrorBox(*this, GetActiveWindow(), ui::ErrorReportText(error.Message()));
}

void Application::ShowApplicationWindow() { ShowWindow(window_->Handle(), SW_SHOWNOACTIVATE); }

void Application::Minimize() {
  // The taskbar button belongs to the application window: minimising the main window
  // minimises that one and hides the main window until the button restores it.
  ShowWindow(window_->Handle(), SW_MINIMIZE);
  if (mainWindow_) ShowWindow(mainWindow_, SW_HIDE);
}

std::vector<std::u16string> Application::CommandLineArguments() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::u16string> out;
  for (int i = 0; i < count; ++i) out.push_back(FromW(arguments[i]));
  LocalFree(arguments);
  return out;
}

}  // namespace tallyx
