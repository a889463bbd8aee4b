#pragma once
// The worker threads of one extraction. The calling thread hands them the entries in
// archive order, each with its staged name already recorded, and waits for them taking
// its turns (zip/waiting.h); the workers create, inflate, check, write, flush and close. A
// failure ends the way a one-by-one extraction would have ended: with the failure of the
// lowest entry, every later entry stopped, every earlier one finished.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tallyx {

// How many workers an extraction uses unless told: one per core, at most 4. More only
// add memory and contention on the archive's one opening.
unsigned DefaultExtractionWorkers();

class EntryPool {
 public:
  // A job learns through this whether it should give up: an earlier entry failed.
  using StopCheck = std::function<bool()>;
  using Job = std::function<void(const StopCheck& stopped)>;

  explicit EntryPool(unsigned workers);
  // Stops every job (queued ones are dropped, running ones asked to stop) and joins.
  ~EntryPool();
  EntryPool(const EntryPool&) = delete;
  EntryPool& operator=(const EntryPool&) = delete;

  // Queues the job of entry `index`; indexes rise from call to call. Waits, taking turns,
  // while as many jobs wait as there are workers: what is queued holds buffers, so the
  // queue bounds them.
  void Submit(size_t index, Job job);
  // Whether a job has failed, so that nothing more should be submitted.
  bool Failed();
  // Waits, taking turns, until no job is queued or running; then raises the failure of the
  // lowest entry, if any.
  void Finish();

 private:
  struct Entry {
    size_t index;
    Job job;
  };
  void Work();
  bool StoppedLocked(size_t index) const { return abandoned_ || index > failedIndex_; }
  void WaitTakingTurns(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);

  std::mutex mutex_;
  std::condition_variable wake_;    // workers: a job or the end
  std::condition_variable change_;  // the calling thread: a job ended
  std::deque<Entry> queue_;
  size_t running_ = 0;
  size_t limit_;
  bool abandoned_ = false;
  size_t failedIndex_ = static_cast<size_t>(-1);
  std::exception_ptr failure_;
  std::exception_ptr turnFailure_;
  std::vector<std::thread> threads_;
};

// Runs `step` on a thread of its own while the calling thread waits taking its turns;
// raises what the step raised. Without a turn to take, runs it on the calling thread.
void RunAside(const std::function<void()>& step);

}  // namespace tallyx
