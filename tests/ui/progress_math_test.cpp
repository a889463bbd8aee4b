#include "ui/progress_math.h"

#include <gtest/gtest.h>

#include <limits>

namespace tallyx::ui {
namespace {

TEST(ProgressBar, PercentAndFill) {
  struct Case {
    double max, position;
    int percent;
    int fill;  // of a 574-pixel bar
  } cases[] = {
      {0, 0, 0, 0},
      {0, 4096, 100, 574},   // no clamping, divisor 1
      {0, 0.5, 50, 287},
      {200, 1, 0, 2},        // 0.5 rounds to the even 0
      {200, 3, 2, 8},        // 1.5 rounds to 2
      {200, 5, 2, 14},       // 2.5 rounds to 2
      {200, 199, 100, 571},  // 99.5 rounds to 100
      {200, 300, 100, 574},  // clamped to Max
      {200, -10, 0, 0},      // clamped to 0
      {10485760, 5242880, 50, 287},
      {3, 1, 33, 191},
      {-5, 1, -20, 0},        // a negative range is not clamped; the fill stays empty
      {std::numeric_limits<double>::infinity(), 7, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPercent(c.max, c.position), c.percent) << c.max << " " << c.position;
    EXPECT_EQ(ProgressFillWidth(c.max, c.position, 574), c.fill) << c.max << " " << c.position;
  }
}

TEST(ProgressBar, SweepRestartsAfterTheFilledEnd) {
  struct Case {
    int offset, fill, next;
  } cases[] = {
      {-127, 574, -107}, {0, 574, 20}, {553, 574, 573}, {554, 574, -127},
      {-127, 0, -107},  {-7, 0, -127},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NextSweepOffset(c.offset, c.fill), c.next) << c.offset << " " << c.fill;
}

}  // namespace
}  // namespace tallyx::ui
