#pragma once
// The download's progress bar: a green fill with a sweeping lighter band and the
// percentage drawn inverted over it. WM_GETTEXT answers "N %".
#include <windows.h>

#include "ui/gdi.h"
#include "ui/window_base.h"

namespace tallyx::ui {

class ProgressBar : public PaintedControl {
 public:
  ProgressBar(HWND parent, int id, int x, int y, int width, int height);
  void SetMax(double max);
  void SetPosition(double position);
  // Draws the bar before returning.
  void Repaint();

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Paint(HDC dc, const RECT& client) override;
  void PaintTrack(HDC dc, const RECT& client);
  void PaintFill(HDC dc, const RECT& client, int fillWidth);
  void PaintText(HDC dc, const RECT& client);
  void UpdateText();

  double max_ = 0;
  double position_ = 0;
  int sweep_;
  Font font_;
};

}  // namespace tallyx::ui
