#include "capture/response_watcher.h"

#include <gmock/gmock.h>

#include <deque>
#include <future>
#include <thread>

#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A reader that answers from a script, one answer per poll, and counts its polls.
template <class Base>
class ScriptedReader : public Base {
 public:
  std::optional<std::string> pollStableReply() override {
    ++polls;
    if (script.empty()) return std::nullopt;
    auto next = script.front();
    script.pop_front();
    return next;
  }
  std::string lastStatus() const override { return status; }

  std::deque<std::optional<std::string>> script;
  std::string status = "status";
  int polls = 0;
};

class FakeDb final : public ScriptedReader<DatabaseReplyReader> {
 public:
  bool dbAvailable() const override { return available; }
  bool available = true;
};
class FakeTranscript final : public ScriptedReader<ReplyReader> {};
class FakeWindow final : public ScriptedReader<WindowReplyReader> {
 public:
  std::string lastReply() const override { return partial; }
  std::string partial;
};

class ResponseWatcherTest : public ::testing::Test {
 protected:
  std::shared_ptr<ResponseWatcher> watch(const std::string& target, const std::string& prompt = "fix the build") {
    log = WatcherDebugLog::create(home.paths().debugLogFile(), runtime.main, runtime.clock,
                                  [this](std::string_view line) { logged.push_back(messageOf(line)); });
    auto w = ResponseWatcher::create(4242, target, prompt, WatcherReaders{db, transcript, window}, runtime, log);
    w->onResponse = [this](const std::string& t, const std::string& text) { responses.emplace_back(t, text); };
    w->onPartial = [this](const std::string& text) { partials.push_back(text); };
    return w;
  }
  static std::string messageOf(std::string_view line) {
    const auto end = line.find("] ", line.find("] ") + 2);
    return std::string(line.substr(end + 2));
  }
  int count(const std::string& part) const {
    return static_cast<int>(std::count_if(logged.begin(), logged.end(),
                                          [&](const std::string& l) { return l.find(part) != std::string::npos; }));
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<WatcherDebugLog> log;
  std::shared_ptr<FakeDb> db = std::make_shared<FakeDb>();
  std::shared_ptr<FakeTranscript> transcript = std::make_shared<FakeTranscript>();
  std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
  std::vector<std::string> logged;
  std::vector<std::pair<std::string, std::string>> responses;
  std::vector<std::string> partials;
};

TEST_F(ResponseWatcherTest, AnyOtherAppIsReadFromItsWindowSixSecondsAfterStart) {
  auto w = watch("Codex");
  w->start();
  EXPECT_THAT(logged, ElementsAre("  Capture: Accessibility window-read (GENERIC \u2014 works on any AI app)",
                                  "\u25B6 start: target='Codex' pid=4242, prompt 13 chars"));
  window->script = {std::nullopt, std::string("  Fixed.\n")};
  window->partial = "  Fix";
  time->advance(Seconds(5.9));
  EXPECT_EQ(window->polls, 0);
  time->advance(Seconds(0.1));
  EXPECT_EQ(window->polls, 1);
  EXPECT_THAT(partials, ElementsAre("Fix"));
  EXPECT_EQ(db->polls + transcript->polls, 0) << "only Cursor uses the premium readers";
  time->advance(Seconds(2));
  EXPECT_THAT(responses, ElementsAre(std::pair<std::string, std::string>("Codex", "Fixed.")));
  EXPECT_THAT(logged, Contains("\u2705 Response via ax: 6 chars \u2014 sending to iPhone"));
  EXPECT_FALSE(w->active());
  time->advance(Seconds(60));
  EXPECT_EQ(window->polls, 2) << "a delivered watcher stops polling";
  EXPECT_THAT(partials, ElementsAre("Fix"));
}

TEST_F(ResponseWatcherTest, CursorHoldsTheWindowBackAndFallsBackToTranscriptsOnlyWithoutTheDatabase) {
  auto w = watch("Cursor");
  EXPECT_EQ(logged[0], "  Capture: Cursor DB + transcript (premium), Accessibility (generic backup)");
  w->start();
  db->available = true;
  time->advance(Seconds(6));  // first poll
  EXPECT_EQ(db->polls, 1);
  EXPECT_EQ(transcript->polls, 0) << "the database is available";
  db->available = false;
  time->advance(Seconds(2));
  EXPECT_EQ(transcript->polls, 1);
  time->advance(Seconds(36));  // t = 44
  EXPECT_EQ(window->polls, 0);
  EXPECT_EQ(count(" [ax]: holding for premium reader"), 20);
  time->advance(Seconds(2));  // t = 46
  EXPECT_EQ(window->polls, 1);
}

TEST_F(ResponseWatcherTest, TheFirstReaderWithAValidReplyWinsAndDeliversOnce) {
  auto w = watch("cursor");
  db->available = false;
  db->script = {std::string("fix the build"), std::string("from the database")};  // first: an echo
  transcript->script = {std::string("[09:00:00] \u25B6 start: x"), std::string("from the transcript")};
  w->start();
  time->advance(Seconds(6));
  EXPECT_THAT(responses, IsEmpty()) << "an echo and debug-log text are not replies";
  time->advance(Seconds(2));
  EXPECT_THAT(responses, ElementsAre(std::pair<std::string, std::string>("cursor", "from the database")));
  EXPECT_EQ(transcript->polls, 1) << "the database won; the transcript was not polled again";
  time->advance(Seconds(10));
  EXPECT_EQ(responses.size(), 1u);
}

TEST_F(ResponseWatcherTest, GivesUpSilentlyAfterTenMinutes) {
  auto w = watch("Zed");
  w->start();
  time->advance(Seconds(599.9));
  EXPECT_TRUE(w->active());
  time->advance(Seconds(0.1));
  EXPECT_FALSE(w->active());
  EXPECT_THAT(logged, Contains("\u23F0 Timeout \u2014 stopping"));
  const int polls = window->polls;
  window->script = {std::string("too late")};
  time->advance(Seconds(10));
  EXPECT_EQ(window->polls, polls);
  EXPECT_THAT(responses, IsEmpty());
}

TEST_F(ResponseWatcherTest, PreviewShowsAtMost120CharactersWithNewlinesMarked) {
  auto w = watch("Zed");
  window->script = {std::string("line one\nline two\r\n") + std::string(200, 'x')};
  w->start();
  time->advance(Seconds(6));
  const std::string expected = "   Preview: \"line one\u21B5line two\u21B5" + std::string(120 - 18, 'x') + "\"";
  EXPECT_THAT(logged, Contains(expected));
}

TEST_F(ResponseWatcherTest, StoppedBeforeTheFirstPollNeverPolls) {
  auto w = watch("Zed");
  w->start();
  w->start();  // a second start changes nothing
  time->advance(Seconds(3));
  w->stop();
  w->stop();
  time->advance(Seconds(60));
  EXPECT_EQ(window->polls, 0);
  EXPECT_EQ(count("\u25B6 start:"), 1);
}

TEST_F(ResponseWatcherTest, StoppedWatcherNeverStartsAgain) {
  auto w = watch("Zed");
  w->start();
  w->stop();
  w->start();
  EXPECT_FALSE(w->active());
  time->advance(Seconds(60));
  EXPECT_EQ(window->polls, 0);
}

// A slow poll (the window reader of a large window) is followed by a whole
// period of rest: polls never run back to back.
TEST_F(ResponseWatcherTest, APollStartsAWholePeriodAfterTheSlowOneBeforeIt) {
  class SlowWindow final : public WindowReplyReader {
   public:
    explicit SlowWindow(std::shared_ptr<VirtualTime> time) : time_(std::move(time)) {}
    std::optional<std::string> pollStableReply() override {
      startedAt.push_back(time_->elapsed().count());
      if (startedAt.size() == 1) time_->spend(Seconds(5));
      return std::nullopt;
    }
    std::string lastStatus() const override { return "slow"; }
    std::string lastReply() const override { return ""; }
    std::vector<double> startedAt;

   private:
    std::shared_ptr<VirtualTime> time_;
  };
  window.reset();
  auto slow = std::make_shared<SlowWindow>(time);
  log = WatcherDebugLog::create(home.paths().debugLogFile(), runtime.main, runtime.clock, [](std::string_view) {});
  auto w = ResponseWatcher::create(1, "Zed", "fix it", WatcherReaders{nullptr, nullptr, slow}, runtime, log);
  w->start();
  time->advance(Seconds(14));
  EXPECT_THAT(slow->startedAt, ElementsAre(6.0, 13.0)) << "the first poll took 5 s, from 6 s to 11 s";
  time->advance(Seconds(2));
  EXPECT_THAT(slow->startedAt, ElementsAre(6.0, 13.0, 15.0));
}

// Polls on a thread of their own, stop() on the main thread: the threads meet
// the way they do in the program.
class ResponseWatcherThreadsTest : public ResponseWatcherTest {
 protected:
  ResponseWatcherThreadsTest() { runtime.utility = pollTime->makeExecutor("utility"); }
  std::shared_ptr<VirtualTime> pollTime = VirtualTime::create();
};

// A poll that was already reading when stop() came hands nothing over: not
// the reply it read, nor a partial text.
TEST_F(ResponseWatcherThreadsTest, AStopDuringAPollDeliversNothing) {
  class BlockingWindow final : public WindowReplyReader {
   public:
    std::optional<std::string> pollStableReply() override {
      entered.set_value();
      release.get_future().wait();
      return std::string("Fixed the build.");
    }
    std::string lastStatus() const override { return "reading"; }
    std::string lastReply() const override { return "Fixed"; }
    std::promise<void> entered;
    std::promise<void> release;
  };
  auto blocking = std::make_shared<BlockingWindow>();
  log = WatcherDebugLog::create(home.paths().debugLogFile(), runtime.main, runtime.clock,
                                [this](std::string_view line) { logged.push_back(messageOf(line)); });
  auto w = ResponseWatcher::create(1, "Zed", "fix it", WatcherReaders{nullptr, nullptr, blocking}, runtime, log);
  w->onResponse = [this](const std::string& t, const std::string& text) { responses.emplace_back(t, text); };
  w->onPartial = [this](const std::string& text) { partials.push_back(text); };
  w->start();
  time->advance(Seconds(6));  // polling begins
  std::thread poller([this] { pollTime->advance(Seconds(0)); });
  blocking->entered.get_future().wait();
  w->stop();
  blocking->release.set_value();
  poller.join();
  time->runUntilIdle();
  EXPECT_THAT(responses, IsEmpty());
  EXPECT_THAT(partials, IsEmpty());
  EXPECT_EQ(count("\u2705 Response via"), 0);
}

// A reply found just before stop() but not yet handed over on the main thread
// is dropped too: once stop() returned, nothing comes.
TEST_F(ResponseWatcherTest, AReplyFoundButNotYetHandedOverIsDroppedByStop) {
  auto mainTime = VirtualTime::create();
  runtime.main = mainTime->makeExecutor("main");
  auto w = watch("Zed");
  window->script = {std::string("Fixed.")};
  w->start();
  time->advance(Seconds(6));
  EXPECT_THAT(logged, Contains("\u2705 Response via ax: 6 chars \u2014 sending to iPhone"));
  w->stop();
  mainTime->runUntilIdle();
  EXPECT_THAT(responses, IsEmpty());
}

// beginCapturePolling (the start delay, on a background thread) and stop() (on
// the main thread) meet without a data race, and whichever wins, no poll runs
// after stop().
TEST_F(ResponseWatcherThreadsTest, StopWhilePollingBeginsLeavesNoPollBehind) {
  for (int round = 0; round < 20; ++round) {
    auto w = watch("Zed");
    w->start();
    std::thread startDelay([this] { time->advance(Seconds(6)); });
    w->stop();
    startDelay.join();
    pollTime->advance(Seconds(10));
    EXPECT_FALSE(w->active());
    EXPECT_EQ(window->polls, 0) << "round " << round;
    EXPECT_EQ(pollTime->pendingTasks(), 0u) << "round " << round;
  }
}

}  // namespace
}  // namespace deskwave::testing
