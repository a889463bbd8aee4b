#pragma once
// Buttons with a glyph and a caption, worked with the mouse only. At rest only the glyph
// and the caption show, on the parent's colour; the platform's push-button face appears
// while the button is hot or pressed. With a drop-down segment the rightmost 15 pixels
// open a menu instead of clicking.
#include <windows.h>

#include "ui/gdi.h"
#include "ui/window_base.h"

namespace tallyx::ui {

// WM_COMMAND notification sent when the drop-down segment is pressed.
inline constexpr WORD kDropDownPressed = 0x0100;

struct GlyphButtonStyle {
  COLORREF captionColour;
  bool dropDown;   // rightmost 15 pixels open a menu
  bool wordWrap;   // long caption lines wrap at word boundaries
};

class GlyphButton : public PaintedControl {
 public:
  GlyphButton(HWND parent, int id, int x, int y, int width, int height, const std::u16string& caption,
              const AlphaImage& glyph, GlyphButtonStyle style);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Paint(HDC dc, const RECT& client) override;
  void PaintFace(HDC dc, const RECT& client);
  void SetHot(bool hot);
  bool InDropDown(int x) const;
  void Notify(WORD code);
  bool PressedLook() const { return pressed_ && hot_; }

  const AlphaImage& glyph_;
  GlyphButtonStyle style_;
  Font font_;
  bool hot_ = false;
  bool pressed_ = false;
  bool tracking_ = false;
};

}  // namespace tallyx::ui
