#include "platform/virtual_time.h"

#include <gmock/gmock.h>

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

}  // namespace
}  // namespace deskwave
