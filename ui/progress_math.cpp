#include "ui/progress_math.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

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
  const double p = DisplayedPosition(max, position), r = max == 0 ? 1.0 : max;
  // Byte counts are whole numbers, exact in a double: decide the halves in integers, so
  // that neither a rounded quotient (54.5 reached as 54.500000000000007) nor an x87
  // intermediate tips them. 100 * 2^53 still fits in 64 bits.
  constexpr double kExact = 9007199254740992.0;  // 2^53
  if (std::trunc(p) == p && std::trunc(r) == r && std::fabs(p) <= kExact && std::fabs(r) <= kExact) {
    int64_t numerator = 100 * static_cast<int64_t>(p), denominator = static_cast<int64_t>(r);
    if (denominator < 0) numerator = -numerator, denominator = -denominator;
    int64_t quotient = numerator / denominator, remainder = numerator % denominator;
    if (remainder < 0) --quotient, remainder += denominator;  // floor division
    if (2 * remainder > denominator || (2 * remainder == denominator && quotient % 2 != 0)) ++quotient;
    return static_cast<int>(std::clamp<int64_t>(quotient, -1000000000, 100));
  }
  // Anything else (never a byte count): one rounding of the quotient, then to even.
  double n = std::nearbyint(100.0 * p / r);
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
