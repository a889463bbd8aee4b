// A program holding the single-instance guard, as the updater does at start-up.
//   instance_holder NAME [noauto]
// Exit codes: 0 the first copy, ended by WM_CLOSE to its application window; 2 a later
// copy that asked to end; 3 the guard refused with an error. The lines a later copy
// sends become the application window's text, joined with '|'.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/one_instance.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

LRESULT CALLBACK AppWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class Host : public OneInstanceHost {
 public:
  Host() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = AppWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TallyxInstanceHolder";
    RegisterClassW(&wc);
    app_ = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           wc.hInstance, nullptr);
    main_ = CreateWindowExW(0, wc.lpszClassName, L"main", WS_POPUP, 0, 0, 0, 0, nullptr,
                            nullptr, wc.hInstance, nullptr);
  }
  HWND ApplicationWindow() override { return app_; }
  HWND MainWindowHandle() override { return main_; }
  void Terminate() override {
    terminated = true;
    PostQuitMessage(0);
  }
  void ReportError(const Exception& error) override {
    std::printf("%s\n", error.what());
  }
  std::vector<std::u16string> CommandLineArguments() override { return {}; }

  bool terminated = false;

 private:
  HWND app_;
  HWND main_;
};

int Run(int argc, wchar_t** argv) {
  if (argc < 2) return 64;
  Host host;
  TElOneInstance guard(host);
  guard.SetMapName(FromW(argv[1]));
  guard.SetNoAutoTerminate(argc > 2 && std::wstring(argv[2]) == L"noauto");
  guard.OnInstanceRun = [&](TElOneInstance&, const std::vector<std::u16string>& lines) {
    std::u16string joined;
    for (const std::u16string& line : lines) joined += (joined.empty() ? u"" : u"|") + line;
    SetWindowTextW(host.ApplicationWindow(), W(joined));
  };
  try {
    guard.SetEnabled(true);
  } catch (const Exception& error) {
    std::printf("%s: %s\n", EncodeUtf8(error.ClassName()).c_str(), error.what());
    return 3;
  }
  // A forgotten first copy does not outlive its test by much.
  SetTimer(nullptr, 0, 30000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && !msg.hwnd) break;
    DispatchMessageW(&msg);
  }
  return host.terminated ? 2 : 0;
}

}  // namespace
}  // namespace tallyx

int wmain(int argc, wchar_t** argv) { return tallyx::Run(argc, argv); }
