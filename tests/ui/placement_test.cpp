#include "ui/placement.h"

#include <gtest/gtest.h>

namespace tallyx::ui {
namespace {

TEST(FirstShow, CentredOnTheWholeDesktop) {
  struct Case {
    const char* name;
    Box desktop;
    int w, h;
    Spot at;
  } cases[] = {
      {"one 1280x1024 monitor", {0, 0, 1280, 1024}, 600, 566, {340, 229}},
      {"two side by side straddle the edge", {0, 0, 3840, 1080}, 600, 566, {1620, 257}},
      {"secondary on the left", {-1920, 0, 1920, 1080}, 600, 566, {-300, 257}},
      {"odd sizes truncate", {0, 0, 1025, 769}, 601, 567, {212, 101}},
      {"window wider than desktop", {0, 0, 800, 600}, 1200, 566, {0, 17}},
      {"taller than a desktop above", {0, -900, 1600, 1800}, 600, 3000, {500, -900}},
  };
  for (const Case& c : cases) EXPECT_EQ(FirstShowPosition(c.desktop, c.w, c.h), c.at) << c.name;
}

TEST(DropDownMenu, BelowOrAbove) {
  struct Case {
    const char* name;
    Box button;
    int menuHeight;
    MenuPlacement placed;  // above: `at` is the menu's bottom left corner
  } cases[] = {
      {"room below", {100, 200, 309, 254}, 44, {{100, 254}, false}},
      {"exactly reaches the bottom", {100, 956, 309, 1010}, 14, {{100, 1010}, false}},
      {"one pixel too low", {100, 956, 309, 1010}, 15, {{100, 954}, true}},
      {"near the bottom", {100, 990, 309, 1044}, 44, {{100, 988}, true}},
  };
  Box work{0, 0, 1280, 1024};
  for (const Case& c : cases)
    EXPECT_EQ(DropDownMenuPosition(c.button, c.menuHeight, work), c.placed) << c.name;
}

}  // namespace
}  // namespace tallyx::ui
