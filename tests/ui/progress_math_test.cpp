#include "ui/progress_math.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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

TEST(ProgressBar, HalvesGoToTheEvenNeighbourExactly) {
  // Pairs whose quotient, rounded to a double, lands just off the half.
  struct Case {
    double max, position;
    int percent;
  } cases[] = {{200, 109, 54}, {40, 23, 58}, {200, 111, 56}, {1000, 5, 0}, {4000, 20, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(ProgressPercent(c.max, c.position), c.percent) << c.max << " " << c.position;
  // Every exact half up to a range of 5000: the even one of the two neighbours.
  int halves = 0;
  for (int64_t r = 1; r <= 5000; ++r)
    for (int64_t p = 0; p <= r; ++p) {
      if (200 * p % (2 * r) != r) continue;
      ++halves;
      const int n = ProgressPercent(double(r), double(p));
      ASSERT_EQ(n % 2, 0) << r << " " << p;
      ASSERT_EQ(std::abs(2 * n * r - 200 * p), r) << r << " " << p;
    }
  EXPECT_GT(halves, 150);
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
