#include "platform/text.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

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

TEST(TextTest, TrimStopsAtTheFirstAndLastCharacterThatIsNotWhiteSpace) {
  const std::pair<std::string, std::string> cases[] = {
      {"\u00A0\u00E9\u00A0", "\u00E9"},                   // multi-byte text at both edges
      {"\u3000\U0001F600\u3000", "\U0001F600"},
      {"\u0085\u2003\u202Fx\v\f", "x"},                // NEL, em space, narrow no-break space, VT, FF
      {"\uFEFFx ", "\uFEFFx"},                          // a byte-order mark is not white space
      {"a\u00A0\u00A0b", "a\u00A0\u00A0b"},
      {" \xff ", "\xff"},                               // invalid UTF-8 stays as it is
      {"\xc3 x \xc3", "\xc3 x \xc3"},
      {"\xe2\x80", "\xe2\x80"},                        // cut-off sequence at the end
      {std::string(" a\0b ", 5), std::string("a\0b", 3)},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trimWhitespace(in), out) << in;
}

TEST(TextTest, LowercasingIgnoresTheUserLocale) {
  const std::pair<std::string, std::string> cases[] = {
      {"\u00C4BC", "\u00E4bc"},
      {"\u00C9T\u00C9 \u00D8RE", "\u00E9t\u00E9 \u00F8re"},
      {"\u0391\u0392\u0393", "\u03B1\u03B2\u03B3"},
      {"\u0414\u0416", "\u0434\u0436"},
      {"IDE", "ide"},                        // not the Turkish dotless i
      {"stra\u00DFe 42 \U0001F600", "stra\u00DFe 42 \U0001F600"},
      {"", ""},
  };
  const icu::Locale saved = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
  ASSERT_TRUE(U_SUCCESS(status));
  for (const auto& [in, out] : cases) EXPECT_EQ(lowercased(in), out) << in;
  icu::Locale::setDefault(saved, status);
}

TEST(TextTest, GraphemePrefixNeverSplitsACharacter) {
  const std::string flagDe = "\U0001F1E9\U0001F1EA";
  const std::string flagFr = "\U0001F1EB\U0001F1F7";
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  const std::string thumb = "\U0001F44D\U0001F3FD";  // with a skin-tone modifier
  const std::string text = flagDe + flagFr + family + "e\u0301" + thumb + "z";
  ASSERT_EQ(graphemeCount(text), 6u);
  const std::string prefixes[] = {"", flagDe, flagDe + flagFr, flagDe + flagFr + family,
                                  flagDe + flagFr + family + "e\u0301", flagDe + flagFr + family + "e\u0301" + thumb,
                                  text};
  for (std::size_t n = 0; n < std::size(prefixes); ++n) {
    EXPECT_EQ(graphemePrefix(text, n), prefixes[n]) << n;
    EXPECT_EQ(graphemeCount(prefixes[n]), n);
  }
  EXPECT_EQ(graphemePrefix(text, 100), text);
  EXPECT_EQ(graphemePrefix("", 3), "");
}

TEST(TextTest, UppercasingTouchesOnlyAsciiLetters) {
  const std::pair<std::string, std::string> cases[] = {
      {"0123456789abcdef", "0123456789ABCDEF"},
      {"already UPPER", "ALREADY UPPER"},
      {"`az{@[", "`AZ{@["},                                 // neighbours of the letter ranges
      {"\u00E4\u00DF\u00FF", "\u00E4\u00DF\u00FF"},            // non-ASCII bytes untouched
      {std::string("a\0b", 3), std::string("A\0B", 3)},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(uppercasedAscii(in), out) << in;
}

TEST(TextTest, Utf8Validation) {
  EXPECT_TRUE(isValidUtf8("plain \u00E9\U0001F600"));
  EXPECT_TRUE(isValidUtf8(""));
  for (const std::string bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xc0\xaf", "ok\x80"})
    EXPECT_FALSE(isValidUtf8(bad));
}

}  // namespace
}  // namespace deskwave
