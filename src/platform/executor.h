#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace deskwave {

using Seconds = std::chrono::duration<double>;

// Shared state of one scheduled task: executors check it before every run.
class TaskState {
 public:
  bool cancelled() const { return cancelled_.load(); }
  void cancel();
  // Called once on cancel, for example to release an OS timer early.
  void setCanceller(std::function<void()> canceller);

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::function<void()> canceller_;
};

// Handle to a delayed or repeating task. Copies refer to the same task; an empty
// handle does nothing. Cancelling is idempotent and safe from any thread.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}

  void cancel() const {
    if (state_) state_->cancel();
  }
  bool cancelled() const { return !state_ || state_->cancelled(); }

 private:
  std::shared_ptr<TaskState> state_;
};

// A queue that runs work: the main thread, or one of the background queues.
class Executor {
 public:
  virtual ~Executor() = default;

  virtual void post(std::function<void()> work) = 0;
  virtual TaskHandle postAfter(Seconds delay, std::function<void()> work) = 0;
  // Runs `work` after `firstDelay`, then again `period` after each run ended,
  // until cancelled (a fixed delay between runs, not a fixed rate).
  virtual TaskHandle repeat(Seconds firstDelay, Seconds period, std::function<void()> work) = 0;
};

}  // namespace deskwave
