#include "capture/text_rules.h"

#include <gmock/gmock.h>

namespace deskwave::text_rules {
namespace {

TEST(TextRulesTest, ComparisonFormFoldsCaseDiacriticsAndSpace) {
  const std::pair<std::string, std::string> cases[] = {
      {"  Fix   the\tBUG\n", "fix the bug"},
      {"Caf\u00E9 na\u00EFve", "cafe naive"},
      {"Cafe\u0301", "cafe"},
      {"STRASSE stra\u00DFe", "strasse strasse"},
      {"a\u00A0\u2028b", "a b"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(comparisonForm(in), out) << in;
}

TEST(TextRulesTest, ValidRepliesAreNonEmptyAndNotEchoes) {
  EXPECT_FALSE(isValidReply("  \n", "prompt"));
  EXPECT_FALSE(isValidReply("Fix the BUG ", "fix the bug"));
  EXPECT_TRUE(isValidReply("Fixed it.", "fix the bug"));
  EXPECT_TRUE(isValidReply("anything", ""));
  EXPECT_TRUE(isValidReply("fix the bug now", "fix the bug"));
}

TEST(TextRulesTest, RecognisesTheProgramsOwnDebugLog) {
  EXPECT_TRUE(looksLikeDeskwaveDebugLog("[12:03:44] \u25B6 start: target='cursor' pid=1"));
  EXPECT_FALSE(looksLikeDeskwaveDebugLog("The meeting is at [12:03:44] today")) << "a time alone is not enough";
  EXPECT_TRUE(looksLikeDeskwaveDebugLog("Poll #3 [db]: baseline taken"));
  EXPECT_FALSE(looksLikeDeskwaveDebugLog("Poll #3 only"));
  EXPECT_TRUE(looksLikeDeskwaveDebugLog("x Transcript reader armed"));
  EXPECT_TRUE(looksLikeDeskwaveDebugLog("AttemptD transcript"));
  EXPECT_FALSE(looksLikeDeskwaveDebugLog(std::string(400, 'a') + "Poll # baseline")) << "only the first 400 characters";
  EXPECT_FALSE(looksLikeDeskwaveDebugLog("A normal reply."));
}

TEST(TextRulesTest, CleanAssistantTextDropsMarkersAndBlankLines) {
  EXPECT_EQ(cleanAssistantText("  First [REDACTED]line \n\n\t\n  Second\r\n\r\nThird  "), "First line\nSecond\nThird");
  EXPECT_EQ(cleanAssistantText("[REDACTED]"), "");
  EXPECT_EQ(cleanAssistantText("a\u2028b\u2029c"), "a\nb\nc");
}

TEST(TextRulesTest, UserTextMatchesThePromptByFormOrInsideUserQuery) {
  const auto key = comparisonForm("Fix the build");
  EXPECT_TRUE(userTextMatchesPrompt("fix  THE build", key));
  EXPECT_TRUE(userTextMatchesPrompt("Please fix the build now", key));
  EXPECT_TRUE(userTextMatchesPrompt("<context>x</context><user_query>\nFix the build\n</user_query>", key));
  EXPECT_FALSE(userTextMatchesPrompt("something else", key));
  EXPECT_FALSE(userTextMatchesPrompt("</user_query>Fix the b<user_query>uild", key));
  EXPECT_TRUE(userTextMatchesPrompt("anything", ""));
}

TEST(TextRulesTest, SplitLinesHonoursEveryLineBreak) {
  EXPECT_THAT(splitLines("a\nb\r\nc\rd\u2028e\u2029f\u0085g"), ::testing::ElementsAre("a", "b", "c", "d", "e", "f", "g"));
  EXPECT_THAT(splitLines(""), ::testing::ElementsAre(""));
  EXPECT_THAT(splitLines("a\n"), ::testing::ElementsAre("a", ""));
}

}  // namespace
}  // namespace deskwave::text_rules
