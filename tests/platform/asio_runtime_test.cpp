#include "platform/asio_runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace deskwave {
namespace {

// Waits for a condition set by another thread, with a generous safety limit.
class Signal {
 public:
  void notify() {
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool waitFor(int count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= count; });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
};

class AsioRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop = std::thread([this] { asio.runMainLoop(); });
    mainThread = loop.get_id();
  }
  void TearDown() override {
    asio.stop();
    loop.join();
  }
  AsioRuntime asio{2};
  std::thread loop;
  std::thread::id mainThread;
};

TEST_F(AsioRuntimeTest, MainWorkRunsOnTheMainLoopAndBackgroundWorkOffIt) {
  Signal done;
  std::thread::id mainRan, backgroundRan;
  asio.runtime().main->post([&] {
    mainRan = std::this_thread::get_id();
    done.notify();
  });
  asio.runtime().background->post([&] {
    backgroundRan = std::this_thread::get_id();
    done.notify();
  });
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(mainRan, mainThread);
  EXPECT_NE(backgroundRan, mainThread);
}

TEST_F(AsioRuntimeTest, EachSignalRunsItsHandlerOnTheMainLoop) {
  Signal handled;
  std::vector<std::thread::id> threads;
  asio.onSignal(SIGUSR1, [&] {
    threads.push_back(std::this_thread::get_id());
    handled.notify();
  });
  ASSERT_EQ(::raise(SIGUSR1), 0);
  ASSERT_TRUE(handled.waitFor(1));
  ASSERT_EQ(::raise(SIGUSR1), 0);
  ASSERT_TRUE(handled.waitFor(2));
  asio.runtime().main->post([&] { handled.notify(); });
  ASSERT_TRUE(handled.waitFor(3));
  EXPECT_EQ(threads, (std::vector<std::thread::id>{mainThread, mainThread}));
}

TEST_F(AsioRuntimeTest, DelayedWorkRunsUnlessCancelled) {
  Signal ran;
  bool cancelledRan = false;
  auto cancelled = asio.runtime().main->postAfter(Seconds(0.02), [&] { cancelledRan = true; });
  cancelled.cancel();
  asio.runtime().main->postAfter(Seconds(0.05), [&] { ran.notify(); });
  ASSERT_TRUE(ran.waitFor(1));
  // Both were due by now; the main loop runs them in order, so the check is safe there.
  Signal checked;
  asio.runtime().main->post([&] { checked.notify(); });
  ASSERT_TRUE(checked.waitFor(1));
  EXPECT_FALSE(cancelledRan);
}

TEST_F(AsioRuntimeTest, RepeatingWorkFiresUntilCancelled) {
  Signal ticks;
  auto handle = asio.runtime().utility->repeat(Seconds(0.001), Seconds(0.005), [&] { ticks.notify(); });
  ASSERT_TRUE(ticks.waitFor(3));
  handle.cancel();
  const int atCancel = ticks.count();
  // One tick may already be running when the cancel lands; none start after it.
  Signal settle;
  asio.runtime().utility->postAfter(Seconds(0.05), [&] { settle.notify(); });
  ASSERT_TRUE(settle.waitFor(1));
  EXPECT_LE(ticks.count(), atCancel + 1);
}

// A run that takes longer than the period is followed by a whole period of
// rest, never by runs back to back that catch up with the schedule.
TEST_F(AsioRuntimeTest, RepeatingWorkKeepsAFullPeriodAfterASlowRun) {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::milliseconds(20);
  std::mutex mutex;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> runs;  // start, end
  Signal done;
  auto handle = asio.runtime().utility->repeat(Seconds(0), Seconds(0.02), [&] {
    const auto start = Clock::now();
    std::size_t n = 0;
    {
      std::lock_guard lock(mutex);
      n = runs.size();
    }
    if (n == 0) std::this_thread::sleep_for(period * 4);  // a slow run, as a slow poll
    std::lock_guard lock(mutex);
    runs.emplace_back(start, Clock::now());
    if (runs.size() == 3) done.notify();
  });
  ASSERT_TRUE(done.waitFor(1));
  handle.cancel();
  std::lock_guard lock(mutex);
  for (std::size_t i = 1; i < 3; ++i) EXPECT_GE(runs[i].first - runs[i - 1].second, period) << "run " << i;
}

// A repeating task that cancels itself from inside its work after `limit` runs,
// noting each run's thread and whether two runs ever overlapped.
struct SelfCancellingTicker {
  explicit SelfCancellingTicker(int limit) : limit(limit) {}
  void start(Executor& ex) {
    // The work waits for the handle to be stored, however late the first run is.
    std::lock_guard lock(mutex);
    handle = ex.repeat(Seconds(0.001), Seconds(0.001), [this] {
      if (inFlight.fetch_add(1) != 0) overlapped = true;
      {
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
        if (static_cast<int>(threads.size()) == limit) handle.cancel();
      }
      inFlight.fetch_sub(1);
      ticks.notify();
    });
  }
  int runs() {
    std::lock_guard lock(mutex);
    return static_cast<int>(threads.size());
  }
  const int limit;
  TaskHandle handle;
  Signal ticks;
  std::mutex mutex;
  std::vector<std::thread::id> threads;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
};

TEST_F(AsioRuntimeTest, TimersOnTheMainExecutorRunOnTheMainLoop) {
  Signal delayed;
  std::thread::id delayedRan;
  asio.runtime().main->postAfter(Seconds(0.02), [&] {
    delayedRan = std::this_thread::get_id();
    delayed.notify();
  });
  SelfCancellingTicker ticker(3);
  ticker.start(*asio.runtime().main);
  ASSERT_TRUE(delayed.waitFor(1));
  ASSERT_TRUE(ticker.ticks.waitFor(3));
  // Thirty more periods: a ticker that failed to stop would run again meanwhile.
  Signal settled;
  asio.runtime().main->postAfter(Seconds(0.03), [&] { settled.notify(); });
  ASSERT_TRUE(settled.waitFor(1));
  EXPECT_EQ(delayedRan, mainThread);
  EXPECT_EQ(ticker.runs(), 3);
  for (auto id : ticker.threads) EXPECT_EQ(id, mainThread);
}

TEST_F(AsioRuntimeTest, RepeatingPoolWorkCancelledFromInsideStopsAtOnceAndNeverOverlaps) {
  SelfCancellingTicker ticker(5);
  ticker.start(*asio.runtime().utility);
  ASSERT_TRUE(ticker.ticks.waitFor(5));
  Signal settled;
  asio.runtime().utility->postAfter(Seconds(0.03), [&] { settled.notify(); });
  ASSERT_TRUE(settled.waitFor(1));
  EXPECT_EQ(ticker.runs(), 5);
  EXPECT_FALSE(ticker.overlapped);
  for (auto id : ticker.threads) EXPECT_NE(id, mainThread);
}

TEST_F(AsioRuntimeTest, CancelledPoolWorkDoesNotRun) {
  constexpr auto kDelay = std::chrono::milliseconds(20);
  std::atomic<bool> cancelledRan{false};
  const auto before = std::chrono::steady_clock::now();
  auto handle = asio.runtime().background->postAfter(kDelay, [&] { cancelledRan = true; });
  handle.cancel();
  const bool cancelledInTime = std::chrono::steady_clock::now() - before < kDelay;
  EXPECT_TRUE(handle.cancelled());
  Signal later;
  asio.runtime().background->postAfter(Seconds(0.06), [&] { later.notify(); });
  ASSERT_TRUE(later.waitFor(1));
  // Only a cancel that landed before the due time can hold the work back.
  if (cancelledInTime) {
    EXPECT_FALSE(cancelledRan);
  }
}

TEST_F(AsioRuntimeTest, CancellingPoolTimersFromAnotherThreadWhileTheyTickIsSafe) {
  // Cancels race the timers' own re-arming on the other pool thread.
  constexpr int kTimers = 50;
  struct Ticking {
    std::atomic<int> ticks{0};
    TaskHandle handle;
    int atCancel = 0;
  };
  std::vector<std::unique_ptr<Ticking>> timers;
  for (int i = 0; i < kTimers; ++i) {
    auto t = std::make_unique<Ticking>();
    Signal first;
    auto* raw = t.get();
    t->handle = asio.runtime().utility->repeat(Seconds(0), Seconds(0.0002), [raw, &first] {
      if (raw->ticks.fetch_add(1) == 0) first.notify();
    });
    ASSERT_TRUE(first.waitFor(1));
    t->handle.cancel();
    t->atCancel = t->ticks.load();
    timers.push_back(std::move(t));
  }
  Signal settled;
  asio.runtime().utility->postAfter(Seconds(0.03), [&] { settled.notify(); });
  ASSERT_TRUE(settled.waitFor(1));
  for (const auto& t : timers) {
    // A run already under way when the cancel landed may finish; none start later.
    EXPECT_LE(t->ticks.load(), t->atCancel + 1);
    EXPECT_TRUE(t->handle.cancelled());
  }
}

}  // namespace
}  // namespace deskwave
