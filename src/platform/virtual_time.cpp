#include "platform/virtual_time.h"

#include <algorithm>

namespace deskwave {
namespace {

std::chrono::nanoseconds toNanos(Seconds s) {
  return std::max(std::chrono::round<std::chrono::nanoseconds>(s), std::chrono::nanoseconds(0));
}

}  // namespace

// Executors and the clock hold the timeline weakly, so that scheduled work that
// owns components (which own executors) never keeps the timeline alive.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(std::weak_ptr<VirtualTime> time) : time_(std::move(time)) {}
  WallTime now() const override {
    auto t = time_.lock();
    if (!t) return WallTime{};
    return t->startWall_ + std::chrono::duration_cast<WallTime::duration>(t->nowNanos());
  }
  MonoTime monotonic() const override {
    auto t = time_.lock();
    auto elapsed = t ? t->nowNanos() : std::chrono::nanoseconds(0);
    // Start well after the clock's epoch so that "long ago" stays representable.
    return MonoTime{} + std::chrono::hours(24 * 365) + elapsed;
  }

 private:
  std::weak_ptr<VirtualTime> time_;
};

class VirtualExecutor final : public Executor {
 public:
  explicit VirtualExecutor(std::weak_ptr<VirtualTime> time) : time_(std::move(time)) {}
  void post(std::function<void()> work) override { postAfter(Seconds(0), std::move(work)); }
  TaskHandle postAfter(Seconds delay, std::function<void()> work) override {
    auto t = time_.lock();
    return t ? t->schedule(delay, Seconds(0), std::move(work)) : TaskHandle();
  }
  TaskHandle repeat(Seconds firstDelay, Seconds period, std::function<void()> work) override {
    auto t = time_.lock();
    return t ? t->schedule(firstDelay, std::max(period, Seconds(1e-9)), std::move(work)) : TaskHandle();
  }

 private:
  std::weak_ptr<VirtualTime> time_;
};

std::shared_ptr<VirtualTime> VirtualTime::create(WallTime start) {
  return std::shared_ptr<VirtualTime>(new VirtualTime(start));
}

WallTime VirtualTime::defaultStart() {
  // 2026-01-01 00:00:00 UTC: a fixed, realistic start for stamps written in tests.
  return WallTime{} + std::chrono::seconds(1767225600);
}

Runtime VirtualTime::runtime() {
  return Runtime{makeExecutor("main"), makeExecutor("background"), makeExecutor("utility"),
                 makeExecutor("userInitiated"), clock()};
}

std::shared_ptr<Executor> VirtualTime::makeExecutor(std::string) {
  return std::make_shared<VirtualExecutor>(weak_from_this());
}

std::shared_ptr<Clock> VirtualTime::clock() { return std::make_shared<VirtualClock>(weak_from_this()); }

VirtualTime::Nanos VirtualTime::nowNanos() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Seconds VirtualTime::elapsed() const { return std::chrono::duration_cast<Seconds>(nowNanos()); }

TaskHandle VirtualTime::schedule(Seconds delay, Seconds period, std::function<void()> work) {
  auto state = std::make_shared<TaskState>();
  std::lock_guard lock(mutex_);
  tasks_.push_back(Task{now_ + toNanos(delay), nextSeq_++, state, std::move(work), toNanos(period)});
  return TaskHandle(state);
}

bool VirtualTime::runNextDueBy(Nanos limit) {
  Task task;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(tasks_, [](const Task& t) { return t.state->cancelled(); });
    auto next = std::min_element(tasks_.begin(), tasks_.end(), [](const Task& a, const Task& b) {
      return a.due != b.due ? a.due < b.due : a.seq < b.seq;
    });
    if (next == tasks_.end() || next->due > limit) return false;
    task = std::move(*next);
    tasks_.erase(next);
    now_ = std::max(now_, task.due);
  }
  task.work();
  if (task.period > Nanos(0) && !task.state->cancelled()) {
    std::lock_guard lock(mutex_);
    task.due = now_ + task.period;  // a run that took time (see spend) delays the next
    task.seq = nextSeq_++;
    tasks_.push_back(std::move(task));
  }
  return true;
}

void VirtualTime::runUntilIdle() {
  const Nanos limit = nowNanos();
  while (runNextDueBy(limit)) {
  }
}

void VirtualTime::spend(Seconds by) {
  std::lock_guard lock(mutex_);
  now_ += toNanos(by);
}

void VirtualTime::advance(Seconds by) {
  const Nanos target = nowNanos() + toNanos(by);
  while (runNextDueBy(target)) {
  }
  std::lock_guard lock(mutex_);
  now_ = std::max(now_, target);
}

std::size_t VirtualTime::pendingTasks() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(tasks_.begin(), tasks_.end(), [](const Task& t) { return !t.state->cancelled(); }));
}

}  // namespace deskwave
