#include <windows.h>

#include <cstring>

#include "base/text.h"
#include "platform/one_instance.h"
#include "platform/os_error.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

constexpr wchar_t kMessageWindowClass[] = L"TallyxElMessageWindow";
constexpr char16_t kInitFailed[] = u"Failed to initialize ElOneInstance object";

struct ViewTraits {
  using Handle = void*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle view) { ::UnmapViewOfFile(view); }
};
using ScopedView = BasicScopedHandle<ViewTraits>;

template <typename T>
uint32_t HandleValue(T handle) {
  // The record keeps 32-bit values, as window handles are on every Windows.
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

HWND WindowFromValue(uint32_t value) { return reinterpret_cast<HWND>(uintptr_t{value}); }

}  // namespace

LRESULT CALLBACK TElBaseComponent::WindowProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* const component =
      reinterpret_cast<TElBaseComponent*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!component || message == WM_NCCREATE)
    return DefWindowProcW(window, message, wParam, lParam);
  return component->MessageWindowProc(message, wParam, lParam);
}

void TElBaseComponent::Loaded() {
  loading_ = false;
  if (FEnabled) {
    FEnabled = false;
    WriteEnabled(true);
  }
}

LRESULT TElBaseComponent::MessageWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QUERYENDSESSION) return 1;
  LRESULT result = 0;
  // An error must not unwind through the system's dispatch code.
  try {
    HandleMessage(message, wParam, lParam, result);
  } catch (const Exception& error) {
    host_.ReportError(error);
  } catch (const std::exception& error) {
    host_.ReportError(Exception(U16(error.what())));
  }
  return result;
}

bool TElBaseComponent::HandleMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

void TElBaseComponent::WriteEnabled(bool value) {
  if (!loading_ && value != FEnabled) ApplyEnabled(value);
  FEnabled = value;
}

void TElBaseComponent::ApplyEnabled(bool value) {
  FHandle.reset();
  if (!value) return;
  static const ATOM windowClass = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &TElBaseComponent::WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kMessageWindowClass;
    return RegisterClassExW(&wc);
  }();
  // A hidden top-level window rather than a message-only one: only top-level windows
  // hear the system's end-of-session question.
  HWND window = windowClass ? CreateWindowExW(0, kMessageWindowClass, L"", WS_POPUP, 0, 0,
                                              0, 0, nullptr, nullptr,
                                              GetModuleHandleW(nullptr), this)
                            : nullptr;
  if (!window) RaiseLastOSError();
  FHandle.reset(window);
}

TElOneInstance::~TElOneInstance() {
  FMapHandle.Reset();
  SetEnabled(false);
}

void TElOneInstance::WriteEnabled(bool value) {
  if (value && FMapName.empty())
    throw Exception(u"Memory mapping name should be specified to enable Instance Counter.");
  TElBaseComponent::WriteEnabled(value);
}

void TElOneInstance::ApplyEnabled(bool value) {
  TElBaseComponent::ApplyEnabled(value);
  if (!value) {
    FMapHandle.Reset();
    return;
  }
  try {
    RegisterInstance();
  } catch (...) {
    // The component stays disabled: it keeps neither the window nor the block.
    FMapHandle.Reset();
    TElBaseComponent::ApplyEnabled(false);
    throw;
  }
}

void TElOneInstance::RegisterInstance() {
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
    throw Exception(kInitFailed);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, TRUE};
  FMapHandle.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                      sizeof(InstanceRecord), W(FMapName)));
  if (!FMapHandle) throw Exception(kInitFailed);
  const bool exists = GetLastError() == ERROR_ALREADY_EXISTS;

  ScopedView view(MapViewOfFile(FMapHandle.Get(), FILE_MAP_ALL_ACCESS, 0, 0,
                                sizeof(InstanceRecord)));
  if (!view) throw Exception(kInitFailed);

  if (!exists) {
    const InstanceRecord record{HandleValue(GetModuleHandleW(nullptr)),
                                HandleValue(host_.ApplicationWindow()),
                                HandleValue(host_.MainWindowHandle()), HandleValue(Handle())};
    memcpy(view.Get(), &record, sizeof(record));
    return;
  }

  InstanceRecord first;
  memcpy(&first, view.Get(), sizeof(first));
  bool Switch = false;
  NotifyExists(first.hInst, first.hAppWin, first.hMainWin, Switch);
  FPrevInst = first.hInst;
  FPrevMainWin = first.hMainWin;
  FPrevAppWin = first.hAppWin;
  if (Switch) SendParameters(first);
  if (FNoAutoTerminate) {
    view.Reset();
    FMapHandle.Reset();
    throw EBaseEnabledFailed(u"Another instance of the application is started");
  }
  host_.Terminate();
}

void TElOneInstance::SendParameters(const InstanceRecord& first) {
  std::u16string text = JoinLines(host_.CommandLineArguments());
  COPYDATASTRUCT data{0, static_cast<DWORD>(2 * text.size() + 2), W(text)};
  SendMessageW(WindowFromValue(first.hMsgWin), WM_COPYDATA,
               reinterpret_cast<WPARAM>(Handle()), reinterpret_cast<LPARAM>(&data));
  if (OnInstanceRun) return;
  const HWND mainWindow = WindowFromValue(first.hMainWin);
  SetForegroundWindow(mainWindow && IsWindowEnabled(mainWindow)
                          ? mainWindow
                          : WindowFromValue(first.hAppWin));
}

bool TElOneInstance::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam,
                                   LRESULT& result) {
  if (message != WM_COPYDATA) return TElBaseComponent::HandleMessage(message, wParam, lParam, result);
  // The text is another process's: read no further than the bytes it declared.
  const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
  std::u16string_view text;
  if (data && data->lpData) {
    text = std::u16string_view(static_cast<const char16_t*>(data->lpData),
                               data->cbData / sizeof(char16_t));
    text = text.substr(0, text.find(u'\0'));
  }
  NotifyInstanceRun(SplitLines(text));
  result = kInstanceRunAnswer;
  return true;
}

void TElOneInstance::NotifyExists(uint32_t hPrevInst, uint32_t hPrevAppWin,
                                  uint32_t hPrevMainWin, bool& Switch) {
  if (OnExists) OnExists(*this, hPrevInst, hPrevAppWin, hPrevMainWin, Switch);
}

void TElOneInstance::NotifyInstanceRun(const std::vector<std::u16string>& parameters) {
  if (OnInstanceRun) OnInstanceRun(*this, parameters);
}

}  // namespace tallyx
