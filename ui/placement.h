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

// Top left corner of a menu `menuHeight` high opened from `button`: below it, or above
// it with its bottom 2 pixels above the button when it would reach below the work area.
Spot DropDownMenuPosition(const Box& button, int menuHeight, const Box& workArea);

}  // namespace tallyx::ui
