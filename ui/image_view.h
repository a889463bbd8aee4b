#pragma once
// The emblem: a PNG drawn scaled down into its box, proportions kept, anchored at the
// top left; its transparent pixels show the parent's colour.
#include <windows.h>

#include "ui/gdi.h"
#include "ui/window_base.h"

namespace tallyx::ui {

class ImageView : public PaintedControl {
 public:
  ImageView(HWND parent, int id, int x, int y, int size, const std::optional<Pixels>& picture);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Paint(HDC dc, const RECT& client) override;
  AlphaImage image_;
};

}  // namespace tallyx::ui
