#include "zip/entry_pool.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "zip/waiting.h"

namespace tallyx {

namespace {

constexpr unsigned kMaxWorkers = 4;

// What a stopped job raises; never reported, since a real failure stopped it.
struct EntryStopped {};

}  // namespace

unsigned DefaultExtractionWorkers() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
}

EntryPool::EntryPool(unsigned workers) : limit_(std::max(workers, 1u)) {
  threads_.reserve(limit_);
  for (size_t i = 0; i < limit_; ++i) threads_.emplace_back([this] { Work(); });
}

EntryPool::~EntryPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void EntryPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return abandoned_ || !queue_.empty(); });
    if (queue_.empty()) return;  // abandoned
    Entry entry = std::move(queue_.front());
    queue_.pop_front();
    if (StoppedLocked(entry.index)) {
      // Dropped unrun: its file is closed as the job goes, the undo removes it.
      lock.unlock();
      entry.job = nullptr;
      lock.lock();
      change_.notify_all();
      continue;
    }
    ++running_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      const size_t index = entry.index;
      entry.job([this, index] {
        std::lock_guard<std::mutex> guard(mutex_);
        return StoppedLocked(index);
      });
    } catch (const EntryStopped&) {
    } catch (...) {
      failure = std::current_exception();
    }
    entry.job = nullptr;  // its file and buffers go before the next entry starts
    lock.lock();
    --running_;
    if (failure && entry.index < failedIndex_) {
      failedIndex_ = entry.index;
      failure_ = failure;
    }
    change_.notify_all();
  }
}

void EntryPool::WaitTakingTurns(std::unique_lock<std::mutex>& lock,
                                const std::function<bool()>& done) {
  while (!done()) {
    change_.wait_for(lock, std::chrono::milliseconds(kTurnIntervalMs));
    if (done()) break;
    lock.unlock();
    std::exception_ptr failure;
    try {
      TakeTurn();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    // A turn that fails stops the extraction as a failing entry would, ahead of all.
    if (failure && !turnFailure_) {
      turnFailure_ = failure;
      abandoned_ = true;
      queue_.clear();
      wake_.notify_all();
    }
  }
}

void EntryPool::Submit(size_t index, Job job) {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitTakingTurns(lock, [&] { return queue_.size() < limit_ || failure_ || abandoned_; });
  if (failure_ || abandoned_) return;  // Finish reports it
  // The job is told to stop through its check; a stop is no failure of its own.
  queue_.push_back({index, [job = std::move(job)](const StopCheck& stopped) {
                      job([&stopped] {
                        if (stopped()) throw EntryStopped{};
                        return false;
                      });
                    }});
  wake_.notify_one();
}

bool EntryPool::Failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_ || turnFailure_;
}

void EntryPool::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitTakingTurns(lock, [&] { return queue_.empty() && running_ == 0; });
  if (turnFailure_) std::rethrow_exception(std::exchange(turnFailure_, nullptr));
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void RunAside(const std::function<void()>& step) {
  if (!HasTurn()) {
    step();
    return;
  }
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr failure;
  std::thread helper([&] {
    try {
      step();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    ended.notify_all();
  });
  // The step runs to its end whatever a turn raises: it is a step of the transaction,
  // which never stops half-way; the turn's failure is raised after it.
  std::exception_ptr turnFailure;
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
      if (ended.wait_for(lock, std::chrono::milliseconds(kTurnIntervalMs), [&] { return done; })) break;
      lock.unlock();
      try {
        if (!turnFailure) TakeTurn();
      } catch (...) {
        turnFailure = std::current_exception();
      }
      lock.lock();
    }
  }
  helper.join();
  if (failure) std::rethrow_exception(failure);
  if (turnFailure) std::rethrow_exception(turnFailure);
}

}  // namespace tallyx
