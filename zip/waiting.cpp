#include "zip/waiting.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tallyx {

namespace {

using Clock = std::chrono::steady_clock;

thread_local std::function<void()>* currentTurn = nullptr;
thread_local Clock::time_point lastTurn;

}  // namespace

ScopedTurn::ScopedTurn(std::function<void()> turn)
    : outer_(currentTurn), turn_(std::move(turn)) {
  currentTurn = &turn_;
}

ScopedTurn::~ScopedTurn() { currentTurn = outer_; }

bool HasTurn() { return currentTurn && *currentTurn; }

void TakeTurn() {
  if (!HasTurn()) return;
  (*currentTurn)();
  lastTurn = Clock::now();
}

void TakeTurnIfDue() {
  if (HasTurn() && Clock::now() - lastTurn >= std::chrono::milliseconds(kTurnIntervalMs)) TakeTurn();
}

void PauseTakingTurns(int milliseconds) {
  if (!HasTurn()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(milliseconds, 0)));
    return;
  }
  // Measured against the clock: a turn that takes a while (a repaint, a moved window)
  // shortens the pause rather than stretching it.
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    TakeTurn();
    const Clock::time_point now = Clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(end - now, std::chrono::milliseconds(kTurnIntervalMs)));
  }
}

}  // namespace tallyx
