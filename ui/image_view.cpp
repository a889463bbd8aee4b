#include "ui/image_view.h"

namespace tallyx::ui {
namespace {
constexpr const wchar_t* kClass = L"TImage";
}

ImageView::ImageView(HWND parent, int id, int x, int y, int size, const std::optional<Pixels>& picture) {
  if (picture) image_ = AlphaImage(ScaleToFit(*picture, size));
  RegisterClassOnce(kClass, 0, nullptr);
  Create(kClass, 0, WS_CHILD | WS_VISIBLE, L"", x, y, size, size, parent, id);
}

void ImageView::Paint(HDC dc, const RECT& client) {
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  image_.Draw(dc, 0, 0);
}

LRESULT ImageView::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
  }
  return PaintedControl::HandleMessage(message, wParam, lParam);
}

}  // namespace tallyx::ui
