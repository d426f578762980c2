#include <gmock/gmock.h>

#include "local/activity_table.h"
#include "local/permission_table.h"
#include "platform/virtual_time.h"

namespace deskwave {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> ids(const std::vector<PermissionEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.id);
  return out;
}

class PermissionTableTest : public ::testing::Test {
 protected:
  PermissionEntry request(std::string id) { return {std::move(id), "Bash", "rm -rf build", "Claude", clock->now(), {}}; }
  PermissionEntry question(std::string id) {
    return {std::move(id), "Question", "Which?", "Claude", clock->now(), {{{"label", "A"}, {"desc", "a"}}}};
  }
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<Clock> clock = time->clock();
  PermissionTable table;
};

TEST_F(PermissionTableTest, RequestsAreListedAfterTheirDelayQuestionsAtOnce) {
  table.file(request("R1"));
  table.file(question("Q1"));
  time->advance(Seconds(1.0));
  EXPECT_THAT(ids(table.list(clock->now())), ElementsAre("Q1"));
  time->advance(Seconds(0.5));
  EXPECT_THAT(ids(table.list(clock->now())), ElementsAre("Q1")) << "exactly 1.5 s is not yet older than 1.5 s";
  time->advance(Seconds(0.1));
  EXPECT_THAT(ids(table.list(clock->now())), ElementsAre("R1", "Q1"));
}

TEST_F(PermissionTableTest, AnswersOutliveEntriesAndTheLastOneWins) {
  table.file(request("R1"));
  table.file(request("R2"));
  table.file(question("Q1"));
  EXPECT_EQ(table.decision("R1"), "pending");
  EXPECT_EQ(table.decision(""), "pending");
  table.answer("R1", "deny");
  table.answer("R1", "allow");
  table.answer("NEVER-FILED", "allow");
  EXPECT_EQ(table.decision("R1"), "allow");
  EXPECT_EQ(table.decision("NEVER-FILED"), "allow");
  EXPECT_FALSE(table.isOpen("R1"));
  EXPECT_TRUE(table.isOpen("R2"));

  table.clearQuestions();
  time->advance(Seconds(2));
  EXPECT_THAT(ids(table.list(clock->now())), ElementsAre("R2")) << "clearing questions keeps requests";
  table.clearAll();
  EXPECT_THAT(table.list(clock->now()), IsEmpty());
  EXPECT_EQ(table.decision("R1"), "allow");
}

class ActivityTableTest : public ::testing::Test {
 protected:
  WallTime now() const { return clock->now(); }
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<Clock> clock = time->clock();
  ActivityTable table;
};

TEST_F(ActivityTableTest, ToolCallsStackAndFallBackToThinking) {
  table.toolEvent("Claude", "pre", "Bash", "Running command", now());
  table.toolEvent("Claude", "pre", "Read", "Reading file", now());
  table.toolEvent("Claude", "pre", "Bash", "Running tests", now());
  EXPECT_EQ(table.snapshot()[0].activity, "Running tests");
  table.toolEvent("Claude", "post", "Bash", "", now());
  EXPECT_EQ(table.snapshot()[0].activity, "Reading file") << "the newest Bash call ended";
  table.toolEvent("Claude", "post", "Read", "", now());
  EXPECT_EQ(table.snapshot()[0].activity, "Running command");
  table.toolEvent("Claude", "done", "Bash", "", now());
  EXPECT_EQ(table.snapshot()[0].activity, "Thinking");
}

TEST_F(ActivityTableTest, AnEndEventForAnUnknownToolStillStartsTheTurn) {
  table.toolEvent("Codex", "post", "Edit", "Editing", now());
  const auto snapshot = table.snapshot();
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0], (TurnStatus{"Codex", now(), "Thinking", std::nullopt}));
}

TEST_F(ActivityTableTest, StartTurnKeepsARunningTurnsStartButResetsItsTools) {
  table.startTurn("codex", now());
  const auto started = now();
  time->advance(Seconds(5));
  table.toolEvent("codex", "pre", "Bash", "Running command", now());
  table.startTurn("codex", now());
  const auto snapshot = table.snapshot();
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].since, started);
  EXPECT_EQ(snapshot[0].activity, "Thinking");
  table.toolEvent("codex", "post", "Bash", "", now());
  EXPECT_EQ(table.snapshot()[0].activity, "Thinking") << "the tool list was reset";
}

TEST_F(ActivityTableTest, AnEndedTurnIgnoresLatePartialsUntilTheNextTurn) {
  table.startTurn("codex", now());
  table.updatePartial("codex", "Working");
  EXPECT_EQ(table.snapshot()[0].partial, "Working");
  table.setSuppressed("codex", true, now());
  EXPECT_THAT(table.snapshot(), IsEmpty());
  table.updatePartial("codex", "late text");
  table.startTurn("codex", now());
  EXPECT_EQ(table.snapshot()[0].partial, std::nullopt) << "the late partial was dropped";
  table.updatePartial("codex", "new turn");
  EXPECT_EQ(table.snapshot()[0].partial, "new turn");
  table.updatePartial("codex", std::nullopt);
  EXPECT_EQ(table.snapshot()[0].partial, std::nullopt);
}

TEST_F(ActivityTableTest, SnapshotListsWorkingTabsOnly) {
  table.startTurn("Claude", now());
  table.toolEvent("Cursor", "pre", "Edit", "Editing file", now());
  table.updatePartial("Zed", "partial without a turn");
  const auto snapshot = table.snapshot();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].tab, "Claude");
  EXPECT_EQ(snapshot[1].tab, "Cursor");
  EXPECT_EQ(snapshot[1].activity, "Editing file");
  table.setSuppressed("Zed", false, now());
  EXPECT_EQ(table.snapshot().size(), 3u) << "un-suppressing starts a turn";
}

}  // namespace
}  // namespace deskwave
