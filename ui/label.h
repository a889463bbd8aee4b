#pragma once
// Labels drawn on their parent's colour: mnemonic ampersands, the label line breaks, and
// one of three sizing modes.
#include <windows.h>

#include "ui/gdi.h"
#include "ui/window_base.h"

namespace tallyx::ui {

enum class LabelMode {
  AutoSize,     // the label grows and shrinks with its text
  WrapAndClip,  // fixed box: wraps at word boundaries, clips what does not fit
  CentredLine,  // full width, one line high, each line centred
};

class Label : public PaintedControl {
 public:
  Label(HWND parent, int id, int x, int y, int width, int height, LabelMode mode, Font font, Colour text,
        Colour background);
  void SetText(const std::u16string& text);
  // Height of one line of the label's font.
  int LineHeight() const;

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Paint(HDC dc, const RECT& client) override;
  void FitToText();

  LabelMode mode_;
  Font font_;
  Colour text_;
  Colour background_;
};

}  // namespace tallyx::ui
