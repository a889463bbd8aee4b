#pragma once
// Where the main window first appears and where the drop-down menu opens.

namespace tallyx::ui {

struct Box {
  int left, top, right, bottom;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

struct Spot {
  int x, y;
  bool operator==(const Spot&) const = default;
};

// Centred on the desktop's bounding rectangle (integer division truncating toward zero),
// never left of or above its origin.
Spot FirstShowPosition(const Box& desktop, int outerWidth, int outerHeight);

// Where a menu about `menuHeight` high opens from `button`: its top left corner at the
// button's bottom left corner, or, when it would reach below the work area, above the
// button with its bottom edge (`at` is then the bottom left corner) 2 pixels above it.
struct MenuPlacement {
  Spot at;
  bool above;
  bool operator==(const MenuPlacement&) const = default;
};
MenuPlacement DropDownMenuPosition(const Box& button, int menuHeight, const Box& workArea);

}  // namespace tallyx::ui
