#include "platform/virtual_time.h"

#include <gmock/gmock.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>

#include "platform/time_format.h"

namespace deskwave {
namespace {

using ::testing::ElementsAre;

TEST(VirtualTimeTest, RunsDueTasksInTimeOrderThenSchedulingOrder) {
  auto time = VirtualTime::create();
  auto a = time->makeExecutor("a");
  auto b = time->makeExecutor("b");
  std::vector<std::string> ran;
  a->postAfter(Seconds(2), [&] { ran.push_back("a2"); });
  b->postAfter(Seconds(1), [&] { ran.push_back("b1"); });
  a->post([&] { ran.push_back("a0"); });
  b->postAfter(Seconds(2), [&] { ran.push_back("b2"); });
  time->advance(Seconds(1.5));
  EXPECT_THAT(ran, ElementsAre("a0", "b1"));
  time->advance(Seconds(0.5));
  EXPECT_THAT(ran, ElementsAre("a0", "b1", "a2", "b2"));
  EXPECT_EQ(time->elapsed(), Seconds(2));
}

TEST(VirtualTimeTest, ClockFollowsTheTasksBeingRun) {
  auto time = VirtualTime::create();
  auto clock = time->clock();
  auto ex = time->makeExecutor("main");
  std::vector<double> seen;
  ex->postAfter(Seconds(0.6), [&] { seen.push_back(std::chrono::duration<double>(clock->now() - VirtualTime::defaultStart()).count()); });
  ex->postAfter(Seconds(8), [&] { seen.push_back(std::chrono::duration<double>(clock->now() - VirtualTime::defaultStart()).count()); });
  time->advance(Seconds(10));
  EXPECT_THAT(seen, ElementsAre(0.6, 8.0));
  EXPECT_EQ(clock->now(), VirtualTime::defaultStart() + std::chrono::seconds(10));
}

TEST(VirtualTimeTest, CancelledTasksDoNotRun) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  int runs = 0;
  auto handle = ex->postAfter(Seconds(1), [&] { ++runs; });
  handle.cancel();
  handle.cancel();
  time->advance(Seconds(5));
  EXPECT_EQ(runs, 0);
  EXPECT_TRUE(handle.cancelled());
  EXPECT_EQ(time->pendingTasks(), 0u);
}

TEST(VirtualTimeTest, RepeatingTimerFiresOnScheduleUntilCancelledEvenFromInside) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  std::vector<double> at;
  TaskHandle handle;
  handle = ex->repeat(Seconds(6), Seconds(2), [&] {
    at.push_back(time->elapsed().count());
    if (at.size() == 3) handle.cancel();
  });
  time->advance(Seconds(30));
  EXPECT_THAT(at, ElementsAre(6.0, 8.0, 10.0));
}

TEST(VirtualTimeTest, ARepeatingTaskThatSpendsTimeRunsAgainAWholePeriodAfterItEnded) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("utility");
  std::vector<double> starts;
  auto handle = ex->repeat(Seconds(1), Seconds(2), [&] {
    starts.push_back(time->elapsed().count());
    if (starts.size() == 1) time->spend(Seconds(5));
  });
  time->advance(Seconds(12));
  EXPECT_EQ(starts, (std::vector<double>{1, 8, 10, 12}));
  handle.cancel();
}

TEST(VirtualTimeTest, WorkPostedForNowRunsInTheSameAdvance) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  std::vector<int> ran;
  ex->post([&] {
    ran.push_back(1);
    ex->post([&] { ran.push_back(2); });
    ex->postAfter(Seconds(1), [&] { ran.push_back(3); });
  });
  time->runUntilIdle();
  EXPECT_THAT(ran, ElementsAre(1, 2));
  time->advance(Seconds(1));
  EXPECT_THAT(ran, ElementsAre(1, 2, 3));
}

TEST(VirtualTimeTest, ExecutorsDoNotKeepTheTimelineAlive) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  auto clock = time->clock();
  std::weak_ptr<VirtualTime> weak = time;
  // A task that owns the executor, as components do.
  ex->postAfter(Seconds(1), [ex] {});
  time.reset();
  EXPECT_TRUE(weak.expired());
  ex->post([] {});  // harmless once the timeline is gone
  EXPECT_EQ(clock->now(), WallTime{});
}

TEST(VirtualTimeTest, RepeatingTimerStopsWhenCancelledFromOutside) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  std::vector<double> at;
  auto handle = ex->repeat(Seconds(1), Seconds(3), [&] { at.push_back(time->elapsed().count()); });
  time->advance(Seconds(10));  // a task due exactly at the end of an advance runs in it
  EXPECT_THAT(at, ElementsAre(1.0, 4.0, 7.0, 10.0));
  EXPECT_EQ(time->pendingTasks(), 1u);
  handle.cancel();
  EXPECT_TRUE(handle.cancelled());
  EXPECT_EQ(time->pendingTasks(), 0u);
  time->advance(Seconds(30));
  EXPECT_EQ(at.size(), 4u);

  // With no first delay it fires at once.
  std::vector<double> fromNow;
  auto immediate = ex->repeat(Seconds(0), Seconds(0.5), [&] { fromNow.push_back(time->elapsed().count()); });
  time->advance(Seconds(1));
  immediate.cancel();
  EXPECT_THAT(fromNow, ElementsAre(40.0, 40.5, 41.0));
}

TEST(VirtualTimeTest, WorkPostedDuringAnAdvanceRunsAtItsOwnTimeWithinIt) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  std::vector<std::pair<std::string, double>> ran;
  auto note = [&](std::string what) { ran.emplace_back(std::move(what), time->elapsed().count()); };
  ex->postAfter(Seconds(1), [&] {
    note("first");
    ex->post([&] { note("now"); });
    ex->postAfter(Seconds(-5), [&] { note("negative delay"); });
    ex->postAfter(Seconds(0.5), [&] { note("half later"); });
    ex->postAfter(Seconds(1), [&] { note("at the end"); });
    ex->postAfter(Seconds(1.5), [&] { note("after the end"); });
  });
  time->advance(Seconds(2));
  using P = std::pair<std::string, double>;
  EXPECT_THAT(ran, ElementsAre(P{"first", 1.0}, P{"now", 1.0}, P{"negative delay", 1.0}, P{"half later", 1.5},
                               P{"at the end", 2.0}));
  EXPECT_EQ(time->elapsed(), Seconds(2));
  EXPECT_EQ(time->pendingTasks(), 1u);
  time->advance(Seconds(0.5));
  EXPECT_EQ(ran.back(), (P{"after the end", 2.5}));
}

TEST(VirtualTimeTest, AdvancingByZeroRunsOnlyWhatIsDueNow) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  auto clock = time->clock();
  const auto monoStart = clock->monotonic();
  std::vector<int> ran;
  ex->post([&] { ran.push_back(1); });
  ex->postAfter(Seconds(1e-6), [&] { ran.push_back(2); });
  time->advance(Seconds(0));
  EXPECT_THAT(ran, ElementsAre(1));
  time->runUntilIdle();
  EXPECT_THAT(ran, ElementsAre(1));
  EXPECT_EQ(time->elapsed(), Seconds(0));
  EXPECT_EQ(clock->monotonic(), monoStart);
  time->advance(Seconds(1e-6));
  EXPECT_THAT(ran, ElementsAre(1, 2));
  EXPECT_EQ(clock->monotonic() - monoStart, std::chrono::microseconds(1));
}

TEST(VirtualTimeTest, ExecutorsOfADeadTimelineHandOutCancelledHandles) {
  auto time = VirtualTime::create();
  auto ex = time->makeExecutor("main");
  time.reset();
  bool ran = false;
  EXPECT_TRUE(ex->postAfter(Seconds(1), [&] { ran = true; }).cancelled());
  EXPECT_TRUE(ex->repeat(Seconds(1), Seconds(1), [&] { ran = true; }).cancelled());
  EXPECT_FALSE(ran);
}

// Sets the TZ variable for one test.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (old_) ::setenv("TZ", old_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(TimeFormatTest, ReferenceDateSecondsRoundTrip) {
  const auto start = VirtualTime::defaultStart();  // 2026-01-01 00:00:00 UTC
  EXPECT_EQ(secondsSince1970(start), 1767225600.0);
  EXPECT_EQ(secondsSinceReferenceDate(start), 788918400.0);
  EXPECT_EQ(fromSecondsSinceReferenceDate(0), WallTime{} + std::chrono::seconds(978307200));
  // A double holds today's stamps to a fraction of a microsecond.
  const auto quarter = fromSecondsSinceReferenceDate(788918400.25) - (start + std::chrono::milliseconds(250));
  EXPECT_LT(std::chrono::abs(quarter), std::chrono::microseconds(1));
  EXPECT_EQ(fromSecondsSinceReferenceDate(-978307200.0), WallTime{});
  // A damaged stamp must not become undefined behaviour; it reads as the reference date.
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()})
    EXPECT_EQ(fromSecondsSinceReferenceDate(bad), fromSecondsSinceReferenceDate(0)) << bad;
}

TEST(TimeFormatTest, TimeOfDayIsLocal) {
  const auto t = VirtualTime::defaultStart() + std::chrono::seconds(3661) + std::chrono::milliseconds(999);
  {
    ScopedTimeZone utc("UTC0");
    EXPECT_EQ(localTimeOfDay(t), "01:01:01");
    EXPECT_EQ(localTimeOfDay(VirtualTime::defaultStart() - std::chrono::seconds(1)), "23:59:59");
  }
  ScopedTimeZone india("IST-5:30");
  EXPECT_EQ(localTimeOfDay(t), "06:31:01");
}

}  // namespace
}  // namespace deskwave
