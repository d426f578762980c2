#include "capture/cursor_transcript_reader.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include "capture/transcript_fixture.h"
#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

class CursorTranscriptReaderTest : public ::testing::Test {
 protected:
  std::filesystem::path transcript(const std::string& project, const std::string& name) {
    return home.path() / ".cursor" / "projects" / project / "agent-transcripts" / name;
  }
  WallTime at(double seconds) const {
    return clock->now() + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds));
  }
  std::unique_ptr<CursorTranscriptReader> reader(const std::string& prompt) {
    return std::make_unique<CursorTranscriptReader>(prompt, home.path(), clock);
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<Clock> clock = time->clock();
};

TEST_F(CursorTranscriptReaderTest, ReportsTheReplyAfterTheLastMatchingPrompt) {
  const auto file = transcript("proj", "chat.jsonl");
  writeTranscript(file,
                  {userLine("Fix the build"), assistantLine("old answer"), userLine("fix  the BUILD"),
                   assistantLine("First part"), R"({"role":"tool","message":{"content":[]}})", "not json",
                   assistantLine("  Done: [REDACTED]the build passes\n\n  now  "), userLine("unrelated question"),
                   assistantLine("must not be taken")},
                  at(5));
  auto r = reader("Fix the build");
  EXPECT_EQ(r->lastStatus(), "tracking chat.jsonl @ 9 lines");
  EXPECT_EQ(r->pollStableReply(), "Done: the build passes\nnow");
  EXPECT_EQ(r->lastStatus(), "assistant 26 chars (stable 1/1)");
}

TEST_F(CursorTranscriptReaderTest, LongRepliesNeedTwoEqualPolls) {
  const auto file = transcript("proj", "chat.jsonl");
  const std::string shortReply(239, 'x');
  const std::string longReply(240, 'y');
  writeTranscript(file, {userLine("go"), assistantLine(shortReply)}, at(1));
  auto r = reader("go");
  EXPECT_EQ(r->pollStableReply(), shortReply);

  writeTranscript(file, {userLine("go"), assistantLine(longReply)}, at(2));
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  EXPECT_EQ(r->lastStatus(), "assistant 240 chars (stable 1/2)");
  writeTranscript(file, {userLine("go"), assistantLine(longReply + "z")}, at(3));
  EXPECT_EQ(r->pollStableReply(), std::nullopt) << "a change restarts the count";
  EXPECT_EQ(r->lastStatus(), "assistant 241 chars (stable 1/2)");
  EXPECT_EQ(r->pollStableReply(), longReply + "z");
}

TEST_F(CursorTranscriptReaderTest, EchoesAndDebugLogTextAreNotReplies) {
  const auto file = transcript("proj", "chat.jsonl");
  writeTranscript(file, {userLine("Run the tests"), assistantLine("run the TESTS")}, at(1));
  auto r = reader("Run the tests");
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  EXPECT_EQ(r->lastStatus(), "waiting for assistant reply (2 lines)");
  writeTranscript(file, {userLine("Run the tests"), assistantLine("[10:00:01] \u25B6 start: target='cursor'")}, at(2));
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  writeTranscript(file, {userLine("Run the tests"), assistantLine("At [10:00:01] all passed")}, at(3));
  EXPECT_EQ(r->pollStableReply(), "At [10:00:01] all passed");
}

TEST_F(CursorTranscriptReaderTest, FollowsANewerTranscriptAndCountsAfresh) {
  const auto first = transcript("proj", "one.jsonl");
  writeTranscript(first, {userLine("go"), assistantLine(std::string(300, 'a'))}, at(-5));
  auto r = reader("go");
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  const auto second = transcript("other", "sub/two.jsonl");
  writeTranscript(second, {userLine("go"), assistantLine(std::string(300, 'a'))}, at(10));
  EXPECT_EQ(r->pollStableReply(), std::nullopt) << "the count restarts in the new transcript";
  EXPECT_EQ(r->trackedFile(), second);
  EXPECT_EQ(r->pollStableReply(), std::string(300, 'a'));
}

TEST_F(CursorTranscriptReaderTest, EmptyPromptTakesTheLastAssistantText) {
  writeTranscript(transcript("proj", "chat.jsonl"), {assistantLine("one"), assistantLine("two"), assistantLine("  ")},
                  at(1));
  EXPECT_EQ(reader("")->pollStableReply(), "two");
}

TEST_F(CursorTranscriptReaderTest, StatusesWhenThereIsNothingToRead) {
  auto r = reader("go");
  EXPECT_EQ(r->lastStatus(), "no transcript file found");
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  EXPECT_EQ(r->lastStatus(), "no transcript file");

  const auto file = transcript("proj", "chat.jsonl");
  writeTranscript(file, {"\xff\xfe broken"}, at(1));
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  EXPECT_EQ(r->lastStatus(), "failed to decode chat.jsonl") << "a transcript created later is picked up";
  // Hidden folders and other extensions are not transcripts.
  writeTranscript(home.path() / ".cursor/projects/.hidden/agent-transcripts/x.jsonl", {assistantLine("no")}, at(20));
  writeTranscript(transcript("proj", "notes.txt"), {assistantLine("no")}, at(20));
  EXPECT_EQ(r->pollStableReply(), std::nullopt);
  EXPECT_EQ(r->trackedFile(), file);
}

TEST_F(CursorTranscriptReaderTest, LineHelpersReadOnlyTheMessageStructure) {
  EXPECT_EQ(CursorTranscriptReader::userText(cursorLine("user", {"a", "b"})), "a\nb");
  EXPECT_EQ(CursorTranscriptReader::userText(R"({"message":{"content":[{"type":"image"}]}})"), "");
  EXPECT_EQ(CursorTranscriptReader::userText(R"({"message":"x"})"), std::nullopt);
  EXPECT_EQ(CursorTranscriptReader::userText("[]"), std::nullopt);
  EXPECT_EQ(CursorTranscriptReader::assistantText(userLine("x")), std::nullopt);
  EXPECT_EQ(CursorTranscriptReader::assistantText(assistantLine(" a \n\n b ")), "a\nb");
}

}  // namespace
}  // namespace deskwave::testing
