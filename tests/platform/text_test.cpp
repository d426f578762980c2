#include "platform/text.h"

#include <gtest/gtest.h>

namespace deskwave {
namespace {

TEST(TextTest, TrimRemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"  hi  ", "hi"},
      {"\t\r\nhi\r\n", "hi"},
      {"\u00A0\u3000hi there\u2028\u2029", "hi there"},
      {"a \n b", "a \n b"},
      {" \u00A0\t\n", ""},
      {"", ""},
      {"\u00E9t\u00E9", "\u00E9t\u00E9"},
      {"x\u200B", "x\u200B"},  // a zero-width space is not white space
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trimWhitespace(in), out) << in;
}

TEST(TextTest, LowercasingIsUnicode) {
  EXPECT_EQ(lowercased("\u00C4RGER Cursor"), "\u00E4rger cursor");
  EXPECT_EQ(lowercased("CLAUDE"), "claude");
  EXPECT_EQ(uppercasedAscii("abc-\u00E9f"), "ABC-\u00E9F");
}

TEST(TextTest, GraphemesAreUserPerceivedCharacters) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"abc", 3},
      {"e\u0301", 1},                                         // e + combining acute
      {"\U0001F1E9\U0001F1EA", 1},                             // flag
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},       // family (ZWJ sequence)
      {"\r\n", 1},
      {"\u4E2D\u6587", 2},
  };
  for (const auto& [s, n] : cases) EXPECT_EQ(graphemeCount(s), n) << s;
  EXPECT_EQ(graphemePrefix("e\u0301xyz", 2), "e\u0301x");
  EXPECT_EQ(graphemePrefix("ab", 5), "ab");
  EXPECT_EQ(graphemePrefix("ab", 0), "");
}

TEST(TextTest, Utf8Validation) {
  EXPECT_TRUE(isValidUtf8("plain \u00E9\U0001F600"));
  EXPECT_TRUE(isValidUtf8(""));
  for (const std::string bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xc0\xaf", "ok\x80"})
    EXPECT_FALSE(isValidUtf8(bad));
}

}  // namespace
}  // namespace deskwave
