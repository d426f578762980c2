#include "ui/qt_executor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace deskwave::ui {
namespace {

// These run Qt's real loop with short real delays: the executor itself is
// what is tested, and it has no virtual time.
bool onGuiThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

TEST(QtExecutorTest, PostRunsOnTheGuiThreadInOrderFromAnyThread) {
  QtExecutor executor;
  std::vector<int> fromMain;
  std::atomic<int> fromWorker{0};
  std::atomic<bool> allOnGui{true};
  for (int i = 0; i < 3; ++i)
    executor.post([&, i] {
      fromMain.push_back(i);
      if (!onGuiThread()) allOnGui = false;
    });
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      executor.post([&] {
        ++fromWorker;
        if (!onGuiThread()) allOnGui = false;
      });
  });
  worker.join();
  EXPECT_TRUE(fromMain.empty()) << "work runs in the loop, not inside post";
  ASSERT_TRUE(QTest::qWaitFor([&] { return fromWorker == 100 && fromMain.size() == 3; }, 5000));
  EXPECT_EQ(fromMain, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(allOnGui);
}

TEST(QtExecutorTest, DelayedWorkRunsByDelayAndACancelledOneNever) {
  QtExecutor executor;
  std::vector<std::string> ran;
  executor.postAfter(Seconds(0.060), [&] { ran.push_back("60ms"); });
  executor.postAfter(Seconds(0.010), [&] { ran.push_back("10ms"); });
  auto cancelled = executor.postAfter(Seconds(0.030), [&] { ran.push_back("cancelled"); });
  // Cancelled from another thread before it is due.
  std::thread([cancelled] { cancelled.cancel(); }).join();
  auto cancelledAtOnce = executor.postAfter(Seconds(0), [&] { ran.push_back("cancelled at once"); });
  cancelledAtOnce.cancel();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() >= 2; }, 5000));
  QTest::qWait(50);
  EXPECT_EQ(ran, (std::vector<std::string>{"10ms", "60ms"}));
}

TEST(QtExecutorTest, RepeatRunsUntilCancelledFromAnyThreadOrFromWithin) {
  QtExecutor executor;
  int ticks = 0;
  auto handle = executor.repeat(Seconds(0), Seconds(0.005), [&] { ++ticks; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
  std::thread([handle] { handle.cancel(); }).join();
  const int atCancel = ticks;
  QTest::qWait(60);
  EXPECT_EQ(ticks, atCancel);

  int selfTicks = 0;
  TaskHandle self;
  self = executor.repeat(Seconds(0.001), Seconds(0.002), [&] {
    if (++selfTicks == 2) self.cancel();
  });
  QTest::qWait(80);
  EXPECT_EQ(selfTicks, 2);
}

}  // namespace
}  // namespace deskwave::ui
