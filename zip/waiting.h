#pragma once
// Waiting on the installing thread. The thread that runs the installation also owns the
// window, which Windows marks as "not responding" once it has left its messages waiting
// for 5 s; while a step of the installation waits (for a file in use, for its workers),
// that thread takes a turn at its other duty every few milliseconds instead of sleeping
// through. The duty is set per thread, so pool workers and helper threads, which have
// no window, simply sleep.
#include <functional>

namespace tallyx {

// How long a waiting thread goes at most between two turns.
inline constexpr int kTurnIntervalMs = 15;

// Sets the calling thread's turn for the scope; scopes nest, the innermost wins.
class ScopedTurn {
 public:
  explicit ScopedTurn(std::function<void()> turn);
  ~ScopedTurn();
  ScopedTurn(const ScopedTurn&) = delete;
  ScopedTurn& operator=(const ScopedTurn&) = delete;

 private:
  std::function<void()>* outer_;
  std::function<void()> turn_;
};

// Whether a scope has set a turn for the calling thread.
bool HasTurn();
// Runs the calling thread's turn, when a scope has set one.
void TakeTurn();
// Runs it when kTurnIntervalMs have passed since the thread's last turn: for loops whose
// every round is short but whose whole is not.
void TakeTurnIfDue();
// Sleeps about `milliseconds`; with a turn set, in slices of kTurnIntervalMs with a turn
// after each.
void PauseTakingTurns(int milliseconds);

}  // namespace tallyx
