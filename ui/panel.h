#pragma once
// A plain area in the button-face colour that passes its children's commands to its own
// parent.
#include <windows.h>

#include "ui/window_base.h"

namespace tallyx::ui {

class Panel : public WindowBase {
 public:
  Panel(HWND parent, int id, int x, int y, int width, int height);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};

}  // namespace tallyx::ui
