#include "ui/auth_submit.h"

#include <gtest/gtest.h>

namespace deskwave::ui {
namespace {

constexpr const char* kGood = "Str0ng!Passw0rd";  // meets every rule
constexpr const char* kWeak = "weakpassword";     // no capital, number or symbol

TEST(AuthSubmitTest, PrimaryActionFollowsStateAndScreen) {
  using S = AuthScreen;
  using A = SubmitAction;
  struct Case {
    const char* what;
    AuthForm form;
    AuthFlags flags;
    A expected;
  };
  const Case cases[] = {
      {"sign in", {S::signIn, "a@b.co", "pw", "", ""}, {}, A::signIn},
      {"sign in with empty fields (the account state says why)", {S::signIn, "", "", "", ""}, {}, A::signIn},
      {"a code awaited wins over the screen", {S::create, "a@b.co", "", "", "123456"}, {false, true}, A::confirmEmail},
      {"a code awaited, even on another screen", {S::signIn, "a@b.co", "pw", "", "1"}, {false, true}, A::confirmEmail},
      {"create before verifying", {S::create, "a@b.co", "", "", ""}, {}, A::startVerify},
      {"create with a good, confirmed password",
       {S::create, "a@b.co", kGood, kGood, ""},
       {false, false, true},
       A::createAccount},
      {"create with a weak password", {S::create, "a@b.co", kWeak, kWeak, ""}, {false, false, true}, A::none},
      {"create with a different confirmation",
       {S::create, "a@b.co", kGood, "Str0ng!Passw0rX", ""},
       {false, false, true},
       A::none},
      {"create with an empty password", {S::create, "a@b.co", "", "", ""}, {false, false, true}, A::none},
      {"reset before the code is sent", {S::reset, "a@b.co", "", "", ""}, {}, A::startReset},
      {"reset with code and good password",
       {S::reset, "a@b.co", kGood, kGood, "123456"},
       {false, false, false, true},
       A::confirmReset},
      {"reset without a code", {S::reset, "a@b.co", kGood, kGood, ""}, {false, false, false, true}, A::none},
      {"reset with a weak password",
       {S::reset, "a@b.co", kWeak, kWeak, "123456"},
       {false, false, false, true},
       A::none},
      {"reset with a different confirmation",
       {S::reset, "a@b.co", kGood, "", "123456"},
       {false, false, false, true},
       A::none},
      {"nothing while a flow runs (Return pressed twice)", {S::signIn, "a@b.co", "pw", "", ""}, {true}, A::none},
      {"nothing while a code is being checked", {S::create, "a@b.co", "", "", "123456"}, {true, true}, A::none},
  };
  for (const auto& c : cases) EXPECT_EQ(decideSubmit(c.form, c.flags), c.expected) << c.what;
}

}  // namespace
}  // namespace deskwave::ui
