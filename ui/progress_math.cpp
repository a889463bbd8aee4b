#include "ui/progress_math.h"

#include <algorithm>
#include <cmath>

namespace tallyx::ui {
namespace {

double Fraction(double max, double position) {
  return DisplayedPosition(max, position) / (max == 0 ? 1.0 : max);
}

}  // namespace

double DisplayedPosition(double max, double position) {
  return max > 0 ? std::clamp(position, 0.0, max) : position;
}

int ProgressPercent(double max, double position) {
  // nearbyint rounds to the even neighbour under the default rounding mode.
  double n = std::nearbyint(100.0 * Fraction(max, position));
  if (std::isnan(n)) return 0;
  return static_cast<int>(std::clamp(n, -1e9, 100.0));
}

int ProgressFillWidth(double max, double position, int barWidth) {
  double width = std::trunc(Fraction(max, position) * barWidth);
  if (std::isnan(width)) return 0;
  return static_cast<int>(std::clamp(width, 0.0, static_cast<double>(std::max(barWidth, 0))));
}

int NextSweepOffset(int offset, int fillWidth) {
  int next = offset + kSweepStep;
  return next >= fillWidth ? -kSweepBandWidth : next;
}

}  // namespace tallyx::ui
