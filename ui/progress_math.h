#pragma once
// What the progress bar shows for its Max and Position.

namespace tallyx::ui {

// The displayed position: Position clamped into [0, Max] when Max > 0, else unclamped.
double DisplayedPosition(double max, double position);

// N of the "N %" text: 100 * p / R rounded half to even, at most 100 (R = Max, or 1 when
// Max is 0).
int ProgressPercent(double max, double position);

// Width in pixels of the filled part of a bar `barWidth` pixels wide: trunc(p / R * width),
// kept within [0, barWidth].
int ProgressFillWidth(double max, double position, int barWidth);

// Left edge of the sweeping band after one advance of 20 pixels: the band enters again
// again at the left once it has passed the right end of the filled part.
int NextSweepOffset(int offset, int fillWidth);

inline constexpr int kSweepBandWidth = 127;
inline constexpr int kSweepStep = 20;
inline constexpr int kSweepIntervalMs = 30;

}  // namespace tallyx::ui
