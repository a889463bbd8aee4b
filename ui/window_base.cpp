#include "ui/window_base.h"

#include "platform/os_error.h"
#include "ui/callback_guard.h"
#include "ui/gdi.h"

namespace tallyx::ui {

WindowBase::~WindowBase() {
  if (hwnd_) DestroyWindow(hwnd_);
}

void WindowBase::RegisterClassOnce(const wchar_t* className, UINT style, HBRUSH background,
                                   HICON icon) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExW(GetModuleHandleW(nullptr), className, &existing)) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = style;
  wc.lpfnWndProc = Procedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.hIcon = icon;
  wc.lpszClassName = className;
  if (!RegisterClassExW(&wc)) RaiseLastOSError();
}

void WindowBase::Create(const wchar_t* className, DWORD exStyle, DWORD style, const wchar_t* text,
                        int x, int y, int width, int height, HWND parent, int id) {
  HMENU menuOrId = (style & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr;
  if (!CreateWindowExW(exStyle, className, text, style, x, y, width, height, parent, menuOrId,
                       GetModuleHandleW(nullptr), this))
    RaiseLastOSError();
}

LRESULT WindowBase::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK WindowBase::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<WindowBase*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    self = static_cast<WindowBase*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = 0;
  try {
    result = self->HandleMessage(message, wParam, lParam);
  } catch (...) {
    // A paint that failed would come straight back, and its report with it.
    if (message == WM_PAINT) ValidateRect(window, nullptr);
    HandCallbackError(std::current_exception());
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return result;
}

LRESULT PaintedControl::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      PaintBuffered(Handle(), [this](HDC dc, const RECT& client) { Paint(dc, client); });
      return 0;
    case WM_PRINTCLIENT: {
      RECT client;
      GetClientRect(Handle(), &client);
      Paint(reinterpret_cast<HDC>(wParam), client);
      return 0;
    }
  }
  return WindowBase::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
