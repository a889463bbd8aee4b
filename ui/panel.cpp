#include "ui/panel.h"

namespace tallyx::ui {
namespace {
constexpr const wchar_t* kClass = L"TPanel";
}

Panel::Panel(HWND parent, int id, int x, int y, int width, int height) {
  RegisterClassOnce(kClass, 0, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  Create(kClass, 0, WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, L"", x, y, width,
         height, parent, id);
}

LRESULT Panel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) return SendMessageW(GetParent(Handle()), message, wParam, lParam);
  return WindowBase::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
