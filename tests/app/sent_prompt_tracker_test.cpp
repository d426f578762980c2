#include "app/sent_prompt_tracker.h"

#include <gtest/gtest.h>

#include "platform/virtual_time.h"

namespace deskwave {
namespace {

class SentPromptTrackerTest : public ::testing::Test {
 protected:
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  SentPromptTracker tracker{time->clock()};
};

TEST_F(SentPromptTrackerTest, ComparesTrimmedTextExactly) {
  struct Case {
    std::string recorded;
    std::string echo;
    bool matches;
  };
  const Case cases[] = {
      {"  fix it\n", "fix it", true},
      {"fix it", "\t fix it \r\n", true},
      {"fix it", "\u00A0fix it\u2028", true},
      {"fix it", "Fix it", false},
      {"fix it", "fix  it", false},
      {"line one\nline two", "line one\nline two\n", true},
  };
  for (const auto& c : cases) {
    SentPromptTracker fresh(time->clock());
    fresh.record(c.recorded);
    EXPECT_EQ(fresh.wasRecentlySent(c.echo), c.matches) << c.recorded << " / " << c.echo;
  }
}

TEST_F(SentPromptTrackerTest, EachRecordAbsorbsOneEcho) {
  tracker.record("again");
  EXPECT_TRUE(tracker.wasRecentlySent("again"));
  EXPECT_FALSE(tracker.wasRecentlySent("again"));

  tracker.record("twice");
  tracker.record("twice");
  EXPECT_TRUE(tracker.wasRecentlySent("twice"));
  EXPECT_TRUE(tracker.wasRecentlySent("twice"));
  EXPECT_FALSE(tracker.wasRecentlySent("twice"));
}

TEST_F(SentPromptTrackerTest, EntriesExpireAfterFiveMinutes) {
  tracker.record("old");
  time->advance(Seconds(2));
  tracker.record("newer");
  time->advance(Seconds(299));  // "old" is 301 s old, "newer" 299 s
  EXPECT_FALSE(tracker.wasRecentlySent("old"));
  EXPECT_TRUE(tracker.wasRecentlySent("newer"));
}

TEST_F(SentPromptTrackerTest, KeepsTheNewestFortyEntries) {
  for (int i = 0; i < 45; ++i) tracker.record("prompt " + std::to_string(i));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(tracker.wasRecentlySent("prompt " + std::to_string(i))) << i;
  for (int i = 5; i < 45; ++i) EXPECT_TRUE(tracker.wasRecentlySent("prompt " + std::to_string(i))) << i;
}

TEST_F(SentPromptTrackerTest, BlankTextIsNeverRecorded) {
  for (int i = 0; i < 40; ++i) tracker.record("kept " + std::to_string(i));
  tracker.record("");
  tracker.record(" \n\t\u3000");
  EXPECT_FALSE(tracker.wasRecentlySent(""));
  EXPECT_TRUE(tracker.wasRecentlySent("kept 0")) << "a blank record must not push out an entry";
}

}  // namespace
}  // namespace deskwave
