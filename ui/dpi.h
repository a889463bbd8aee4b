#pragma once
// Sizes in the window's tables are pixels at 96 DPI; this is the one place that scales
// them to the display.
#include <windows.h>

namespace tallyx::ui {

inline int Scale(int pixels) {
  static const int dpi = [] {
    HDC screen = GetDC(nullptr);
    int value = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return value > 0 ? value : 96;
  }();
  return MulDiv(pixels, dpi, 96);
}

}  // namespace tallyx::ui
