#include "capture/watcher_debug_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave {
namespace {

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class WatcherDebugLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Local time is UTC here, so that the virtual start (2026-01-01 00:00:00 UTC)
    // reads as 00:00:00.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }

  std::shared_ptr<WatcherDebugLog> makeLog(std::filesystem::path file) {
    return WatcherDebugLog::create(std::move(file), rt.main, rt.clock, [this](std::string_view line) {
      std::lock_guard lock(echoMutex);
      echoes.emplace_back(line);
    });
  }

  testing::TempHome home;
  std::filesystem::path file = home.path() / "debug.log";
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime rt = time->runtime();
  std::mutex echoMutex;
  std::vector<std::string> echoes;
};

TEST_F(WatcherDebugLogTest, EchoesWritesAndRecordsOneLine) {
  auto log = makeLog(file);
  time->advance(Seconds(13 * 3600 + 4 * 60 + 5.9));
  log->log("Captured reply (42 chars)");

  EXPECT_EQ(echoes, std::vector<std::string>{"[ResponseWatcher] [13:04:05] Captured reply (42 chars)"});
  EXPECT_EQ(readFile(file), "[13:04:05] Captured reply (42 chars)\n");
  EXPECT_TRUE(log->entries().get().empty()) << "entries change on the main executor";

  time->runUntilIdle();
  EXPECT_EQ(log->entries().get(), std::vector<std::string>{"[13:04:05] Captured reply (42 chars)"});
}

TEST_F(WatcherDebugLogTest, TimeOfDayIsTwoDigitFields) {
  struct Case {
    double secondsAfterStart;
    std::string stamp;
  };
  const Case cases[] = {
      {0, "00:00:00"}, {1.999, "00:00:01"}, {9 * 3600 + 8 * 60 + 7, "09:08:07"}, {86399, "23:59:59"}, {86400, "00:00:00"},
  };
  for (const auto& c : cases) {
    time = VirtualTime::create();
    rt = time->runtime();
    echoes.clear();
    auto log = makeLog(file);
    time->advance(Seconds(c.secondsAfterStart));
    log->log("tick");
    EXPECT_EQ(echoes, std::vector<std::string>{"[ResponseWatcher] [" + c.stamp + "] tick"}) << c.secondsAfterStart;
  }
}

TEST_F(WatcherDebugLogTest, AppendsToTheFileWithoutTruncating) {
  auto log = makeLog(file);
  log->log("created");
  EXPECT_EQ(readFile(file), "[00:00:00] created\n");

  {
    std::ofstream more(file, std::ios::app);
    more << "written by an earlier run\n";
  }
  auto again = makeLog(file);
  time->advance(Seconds(61));
  again->log("second run");
  again->log("");
  EXPECT_EQ(readFile(file), "[00:00:00] created\nwritten by an earlier run\n[00:01:01] second run\n[00:01:01] \n");
}

TEST_F(WatcherDebugLogTest, KeepsTheNewestTwoHundredEntries) {
  auto log = makeLog(file);
  for (int i = 0; i < 200; ++i) log->log("event " + std::to_string(i));
  time->runUntilIdle();
  ASSERT_EQ(log->entries().get().size(), 200u);
  EXPECT_EQ(log->entries().get().front(), "[00:00:00] event 0");

  log->log("event 200");
  time->runUntilIdle();
  const auto& entries = log->entries().get();
  ASSERT_EQ(entries.size(), 200u);
  EXPECT_EQ(entries.front(), "[00:00:00] event 1");
  EXPECT_EQ(entries.back(), "[00:00:00] event 200");
  EXPECT_EQ(linesOf(readFile(file)).size(), 201u) << "the file keeps every line";
}

TEST_F(WatcherDebugLogTest, UnwritableFileIsIgnored) {
  const std::filesystem::path unwritable[] = {
      home.path() / "no such folder" / "debug.log",
      home.path(),  // a folder, not a file
  };
  for (const auto& path : unwritable) {
    echoes.clear();
    auto log = makeLog(path);
    ASSERT_NO_THROW(log->log("still shown"));
    time->runUntilIdle();
    EXPECT_EQ(echoes, std::vector<std::string>{"[ResponseWatcher] [00:00:00] still shown"}) << path;
    EXPECT_EQ(log->entries().get(), std::vector<std::string>{"[00:00:00] still shown"}) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(home.path() / "no such folder"));
}

TEST_F(WatcherDebugLogTest, LogsFromSeveralThreads) {
  auto log = makeLog(file);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) expected.insert("[00:00:00] thread " + std::to_string(t) + " #" + std::to_string(i));
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kPerThread; ++i) log->log("thread " + std::to_string(t) + " #" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  time->runUntilIdle();

  const auto& entries = log->entries().get();
  EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), expected);
  const auto lines = linesOf(readFile(file));
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected) << "each line is written whole";
  EXPECT_EQ(lines.size(), expected.size());
  EXPECT_EQ(echoes.size(), expected.size());
}

}  // namespace
}  // namespace deskwave
