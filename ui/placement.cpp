#include "ui/placement.h"

namespace tallyx::ui {

Spot FirstShowPosition(const Box& desktop, int outerWidth, int outerHeight) {
  Spot s{desktop.left + desktop.Width() / 2 - outerWidth / 2,
         desktop.top + desktop.Height() / 2 - outerHeight / 2};
  if (s.x < desktop.left) s.x = desktop.left;
  if (s.y < desktop.top) s.y = desktop.top;
  return s;
}

MenuPlacement DropDownMenuPosition(const Box& button, int menuHeight, const Box& workArea) {
  if (button.bottom + menuHeight > workArea.bottom) return {{button.left, button.top - 2}, true};
  return {{button.left, button.bottom}, false};
}

}  // namespace tallyx::ui
