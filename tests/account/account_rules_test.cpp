#include <gmock/gmock.h>

#include <set>

#include "account/account_rules.h"
#include "platform/base64.h"

namespace deskwave::testing {
namespace {

TEST(NormalizeEmailTest, OneAddressPerMailbox) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  Jane.Doe+deskwave@GMail.com\n", "janedoe@gmail.com"},
      {"Jane.Doe+x@GoogleMail.COM", "janedoe@googlemail.com"},  // neither domain rewritten into the other
      {"Jane.Doe+news@Example.org", "jane.doe@example.org"},     // elsewhere only the tag goes
      {"jane.doe@gmail.com.evil.org", "jane.doe@gmail.com.evil.org"},
      {"@gmail.com", "@gmail.com"},                              // nothing before the "@"
      {" J.D@ ", "j.d@"},                                        // nothing after it
      {"no-at-sign", "no-at-sign"},
      {"a.b@c@gmail.com", "a.b@c@gmail.com"},                    // split at the first "@": domain "c@gmail.com"
      {"a.b+1+2@gmail.com", "ab@gmail.com"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(normalizeEmail(input), expected) << input;
}

std::string token(const std::string& payloadJson) {
  return base64UrlEncode(std::string(R"({"alg":"RS256"})")) + "." + base64UrlEncode(payloadJson) + ".c2ln";
}

TEST(JwtSubTest, ReadsTheSubClaimOfAnyPaddingAndRejectsTheRest) {
  // Payloads of three lengths, so the base64url text needs 0, 1 and 2 padding characters.
  for (const std::string sub : {"abc-123", "abc-1234", "abc-12345"})
    EXPECT_EQ(jwtSub(token(R"({"sub":")" + sub + R"(","email":"a@b.c"})")), sub) << sub;
  // Empty pieces are dropped before the second one is taken.
  EXPECT_EQ(jwtSub("h.." + base64UrlEncode(std::string(R"({"sub":"x"})")) + "."), "x");
  EXPECT_EQ(jwtSub("." + base64UrlEncode(std::string(R"({"sub":"x"})")) + ".."), std::nullopt);

  const std::vector<std::string> bad = {
      "onlyonepiece", "", token(R"({"sub":42})"), token(R"(["sub"])"), token("not json"), "a.!!!.c",
      token(R"({"email":"a@b.c"})")};
  for (const auto& t : bad) EXPECT_EQ(jwtSub(t), std::nullopt) << t;
}

TEST(RandomTempPasswordTest, SixteenCharactersWithEveryClassAndNoLookAlikes) {
  std::set<std::string> seen;
  std::set<std::size_t> capitalPositions;
  for (int i = 0; i < 200; ++i) {
    const auto p = randomTempPassword();
    ASSERT_EQ(p.size(), 16u);
    EXPECT_NE(p.find_first_of("ABCDEFGHJKLMNPQRSTUVWXYZ"), std::string::npos) << p;
    EXPECT_NE(p.find_first_of("abcdefghijkmnpqrstuvwxyz"), std::string::npos) << p;
    EXPECT_NE(p.find_first_of("23456789"), std::string::npos) << p;
    EXPECT_NE(p.find_first_of("!@#$%^&*-_"), std::string::npos) << p;
    EXPECT_EQ(p.find_first_of("IOlo01 "), std::string::npos) << p;
    capitalPositions.insert(p.find_first_of("ABCDEFGHJKLMNPQRSTUVWXYZ"));
    seen.insert(p);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_GT(capitalPositions.size(), 4u) << "the guaranteed characters are shuffled, not left in front";
}

TEST(PasswordRulesTest, FiveRulesInOrder) {
  struct Case {
    std::string password;
    std::vector<bool> ok;
  };
  const std::vector<Case> cases = {
      {"Abcdefghij1!x", {true, true, true, true, true}},   // 13 characters of each kind
      {"Abcdefgh1!x", {false, true, true, true, true}},    // 11 characters
      {"", {false, false, false, false, false}},
      {"abcdefghijkl", {true, false, true, false, false}},
      {"ÄÖÜäöü١٢٣€€€", {true, true, true, true, true}},      // non-ASCII letters, Arabic-Indic digits, a currency sign
      {"Abcdefghij1 x", {true, true, true, true, false}},  // a blank is not a symbol
      {"e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301",
       {false, false, true, false, true}},  // 11 characters in 22 code points; the accent counts as a symbol
  };
  for (const auto& c : cases) {
    const auto rules = passwordRules(c.password);
    ASSERT_EQ(rules.size(), 5u);
    std::vector<bool> ok;
    for (const auto& r : rules) ok.push_back(r.ok);
    EXPECT_EQ(ok, c.ok) << c.password;
  }
  const auto rules = passwordRules("x");
  std::vector<std::string> labels;
  for (const auto& r : rules) labels.push_back(r.label);
  EXPECT_THAT(labels, ::testing::ElementsAre("At least 12 characters", "An uppercase letter", "A lowercase letter",
                                             "A number", "A symbol"));
  EXPECT_NE(passwordRules("x")[0].id, rules[0].id) << "fresh ids on every call";
}

}  // namespace
}  // namespace deskwave::testing
