#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/runtime.h"

namespace deskwave {

// Virtual time for tests: one manual clock drives every executor made from it.
// Nothing runs by itself; `advance` moves time forward and runs each task that
// falls due, in time order (ties in the order they were scheduled).
class VirtualTime : public std::enable_shared_from_this<VirtualTime> {
 public:
  static std::shared_ptr<VirtualTime> create(WallTime start = defaultStart());
  static WallTime defaultStart();

  // A runtime whose executors and clock all run on this virtual time.
  Runtime runtime();
  std::shared_ptr<Executor> makeExecutor(std::string name);
  std::shared_ptr<Clock> clock();

  Seconds elapsed() const;
  // Runs every task due now, including tasks they post for now.
  void runUntilIdle();
  void advance(Seconds by);
  // Called from within a task: the task takes `by` to run. Time moves on
  // without running anything else, as during a slow poll.
  void spend(Seconds by);
  // Number of scheduled tasks (not yet run, not cancelled).
  std::size_t pendingTasks() const;

 private:
  friend class VirtualExecutor;
  friend class VirtualClock;
  VirtualTime(WallTime start) : startWall_(start) {}

  using Nanos = std::chrono::nanoseconds;
  struct Task {
    Nanos due;
    std::uint64_t seq;
    std::shared_ptr<TaskState> state;
    std::function<void()> work;
    Nanos period;  // zero for a one-shot task
  };

  TaskHandle schedule(Seconds delay, Seconds period, std::function<void()> work);
  bool runNextDueBy(Nanos limit);
  Nanos nowNanos() const;

  WallTime startWall_;
  mutable std::mutex mutex_;
  Nanos now_{0};
  std::uint64_t nextSeq_ = 0;
  std::vector<Task> tasks_;
};

}  // namespace deskwave
