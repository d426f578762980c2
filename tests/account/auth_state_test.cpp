#include <gmock/gmock.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "account/auth_state.h"
#include "platform/base64.h"
#include "platform/memory_settings_store.h"
#include "platform/virtual_time.h"
#include "support/fake_http_client.h"
#include "support/memory_secret_store.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using nlohmann::json;
using ::testing::MatchesRegex;

constexpr const char* kTargetPrefix = "AWSCognitoIdentityProviderService.";

std::string idToken(const std::string& sub) {
  return base64UrlEncode(std::string(R"({"alg":"RS256"})")) + "." +
         base64UrlEncode(json{{"sub", sub}, {"email", "x@example.com"}}.dump()) + ".sig";
}

// A sign-in answer carrying a session for the account `sub`.
std::string session(const std::string& sub, const std::string& access = "access-token",
                    const std::string& refresh = "refresh-token") {
  json result = {{"IdToken", idToken(sub)}, {"AccessToken", access}};
  if (!refresh.empty()) result["RefreshToken"] = refresh;
  return json{{"AuthenticationResult", result}}.dump();
}

std::string serviceError(const std::string& type, const std::string& message = "service says no") {
  return json{{"__type", type}, {"message", message}}.dump();
}

class AuthStateTest : public ::testing::Test {
 protected:
  std::shared_ptr<AuthState> makeAuth() {
    return AuthState::create(runtime.main, settings, secrets,
                             std::make_shared<CognitoAPI>(http, CognitoConfig{"https://cognito.test/", "client-id"}));
  }

  // The action and body of request `i` (in the order sent).
  std::string action(std::size_t i) const {
    for (const auto& [name, value] : http->requests.at(i).headers)
      if (name == "X-Amz-Target") return value.substr(std::string(kTargetPrefix).size());
    return "";
  }
  json body(std::size_t i) const { return json::parse(http->requests.at(i).body.value_or("null")); }
  std::string lastAction() const { return http->requests.empty() ? "" : action(http->requests.size() - 1); }
  json lastBody() const { return body(http->requests.size() - 1); }

  // Answers the oldest open request and lets the flow go on.
  void answer(int status, const std::string& responseBody = "{}") {
    ASSERT_TRUE(http->respond(status, responseBody)) << "no request waiting";
    time->runUntilIdle();
  }

  std::string stored(const char* key) const { return settings->getString(key).value_or("<absent>"); }

  // Signs in through the sign-in flow with a session for `sub`.
  void signedIn(const std::string& email, const std::string& sub) {
    auth->signIn(email, "Password-123");
    answer(200, session(sub));
    ASSERT_TRUE(auth->username.get().has_value());
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  std::shared_ptr<AuthState> auth = makeAuth();
  int accountChanges = 0;
  bool finished = false;
  std::function<void()> done = [this] { finished = true; };
};

TEST_F(AuthStateTest, SignsUpFromAnAddressToASignedInAccount) {
  auth->onAccountChange = [this] { ++accountChanges; };
  // What the rest of the program finds when it learns of the new account.
  std::optional<std::string> subSeen;
  int changesSeen = -1;
  auth->username.observe([&](const std::optional<std::string>& user) {
    if (!user) return;
    subSeen = settings->getString(AuthState::subKey);
    changesSeen = accountChanges;
  });

  auth->startVerify("  New.User+deskwave@Example.com ", done);
  EXPECT_TRUE(auth->awaitingCode.get());
  EXPECT_TRUE(auth->isBusy.get());
  ASSERT_EQ(lastAction(), "SignUp");
  const auto user = lastBody()["Username"].get<std::string>();
  const auto temp = lastBody()["Password"].get<std::string>();
  EXPECT_THAT(user, MatchesRegex("u-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}"));
  EXPECT_EQ(temp.size(), 16u);
  EXPECT_EQ(lastBody()["UserAttributes"], json::parse(R"([{"Name":"email","Value":"new.user@example.com"}])"));
  EXPECT_FALSE(finished);

  answer(200, R"({"UserConfirmed":false,"UserSub":"hidden-sub"})");
  EXPECT_TRUE(finished);
  EXPECT_FALSE(auth->isBusy.get());
  EXPECT_TRUE(auth->awaitingCode.get());
  EXPECT_EQ(stored(AuthState::pEmailKey), "new.user@example.com");
  EXPECT_EQ(stored(AuthState::pUserKey), user);
  EXPECT_EQ(stored(AuthState::pTempKey), temp);

  auth->confirmEmail(" 012345 ");
  EXPECT_EQ(lastAction(), "ConfirmSignUp");
  EXPECT_EQ(lastBody()["Username"], user);
  EXPECT_EQ(lastBody()["ConfirmationCode"], " 012345 ");
  answer(200);
  EXPECT_TRUE(auth->emailVerified.get());
  EXPECT_FALSE(auth->awaitingCode.get());

  finished = false;
  auth->createAccount("Chosen-Password-1", done);
  ASSERT_EQ(lastAction(), "InitiateAuth");
  EXPECT_EQ(lastBody()["AuthParameters"], (json{{"USERNAME", user}, {"PASSWORD", temp}}));
  answer(200, session("hidden-sub", "first-access"));
  ASSERT_EQ(lastAction(), "ChangePassword");
  EXPECT_EQ(lastBody(), (json{{"AccessToken", "first-access"},
                              {"PreviousPassword", temp},
                              {"ProposedPassword", "Chosen-Password-1"}}));
  answer(200);
  ASSERT_EQ(lastAction(), "InitiateAuth");
  EXPECT_EQ(lastBody()["AuthParameters"],
            (json{{"USERNAME", "new.user@example.com"}, {"PASSWORD", "Chosen-Password-1"}}));
  EXPECT_FALSE(auth->username.get().has_value());
  answer(200, session("account-sub", "final-access", "final-refresh"));

  EXPECT_TRUE(finished);
  EXPECT_FALSE(auth->isBusy.get());
  EXPECT_EQ(auth->error.get(), std::nullopt);
  EXPECT_EQ(auth->username.get(), "new.user@example.com");
  EXPECT_EQ(stored(AuthState::userKey), "new.user@example.com");
  EXPECT_EQ(stored(AuthState::lastEmailKey), "new.user@example.com");
  EXPECT_EQ(stored(AuthState::ownerKey), "new.user@example.com");
  EXPECT_EQ(stored(AuthState::subKey), "account-sub");
  EXPECT_EQ(secrets->get(AuthState::idTokenKey), idToken("account-sub"));
  EXPECT_EQ(secrets->get(AuthState::refreshKey), "final-refresh");
  for (const char* key : {AuthState::pEmailKey, AuthState::pUserKey, AuthState::pTempKey})
    EXPECT_FALSE(settings->contains(key)) << key;
  EXPECT_EQ(auth->pendingCognitoUser(), "");
  EXPECT_EQ(accountChanges, 1);
  // Announced only once the pairing secret is stored and the old account's settings are wiped.
  EXPECT_EQ(subSeen, "account-sub");
  EXPECT_EQ(changesSeen, 1);
}

TEST_F(AuthStateTest, SigningUpAgainWithAKnownAddressResumesOnlyOurOwnStoredSignUp) {
  struct Case {
    std::string name;
    std::string storedEmail;
    std::string storedUser;
    std::string signUpError;
    std::optional<std::string> resendAnswer;  // body of the resend answer; nullopt: no resend expected
    int resendStatus;
    bool awaitingCode;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {"alias exists, stored in other case", "Jane@Example.COM", "u-stored", "AliasExistsException", "{}", 200, true,
       std::nullopt},
      {"user name exists", "jane@example.com", "u-stored", "UsernameExistsException", "{}", 200, true, std::nullopt},
      {"resend refused", "jane@example.com", "u-stored", "AliasExistsException",
       serviceError("LimitExceededException"), 400, false, "Too many attempts — wait a bit and try again."},
      {"another address stored", "john@example.com", "u-stored", "AliasExistsException", std::nullopt, 0, false,
       "That email already has an account — sign in instead."},
      {"stored sign-up incomplete", "jane@example.com", "", "AliasExistsException", std::nullopt, 0, false,
       "That email already has an account — sign in instead."},
      {"other failure", "jane@example.com", "u-stored", "InvalidParameterException", std::nullopt, 0, false,
       "service says no"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    http->requests.clear();
    settings->setString(AuthState::pEmailKey, c.storedEmail);
    settings->setString(AuthState::pUserKey, c.storedUser);
    settings->setString(AuthState::pTempKey, "Stored-Temp-1!");
    auth = makeAuth();

    finished = false;
    auth->startVerify("jane@example.com", done);
    answer(400, serviceError(c.signUpError));
    if (c.resendAnswer) {
      ASSERT_EQ(http->requests.size(), 2u);
      EXPECT_EQ(action(1), "ResendConfirmationCode");
      EXPECT_EQ(body(1), (json{{"ClientId", "client-id"}, {"Username", "u-stored"}}));
      EXPECT_TRUE(auth->isBusy.get()) << "busy until the resend is answered";
      answer(c.resendStatus, *c.resendAnswer);
    } else {
      EXPECT_EQ(http->requests.size(), 1u);
    }
    EXPECT_TRUE(finished);
    EXPECT_FALSE(auth->isBusy.get());
    EXPECT_EQ(auth->awaitingCode.get(), c.awaitingCode);
    EXPECT_EQ(auth->error.get(), c.error);
    if (c.awaitingCode) {
      // The code now confirms the stored hidden user, and the account is made with its password.
      auth->confirmEmail("123456");
      EXPECT_EQ(lastBody()["Username"], "u-stored");
      answer(200);
      auth->createAccount("Chosen-Password-1");
      EXPECT_EQ(lastBody()["AuthParameters"], (json{{"USERNAME", "u-stored"}, {"PASSWORD", "Stored-Temp-1!"}}));
      answer(400, serviceError("NotAuthorizedException"));
      EXPECT_EQ(auth->error.get(), "Wrong username or password.");
    }
  }
}

TEST_F(AuthStateTest, PendingSignUpSurvivesARestart) {
  auth->startVerify("jane@example.com");
  const auto user = lastBody()["Username"].get<std::string>();
  const auto temp = lastBody()["Password"].get<std::string>();
  answer(200);

  auth = makeAuth();
  EXPECT_EQ(auth->pendingCognitoUser(), "") << "nothing under way after a restart";
  auth->startVerify("JANE@example.com");
  EXPECT_NE(lastBody()["Username"], user) << "a fresh hidden user is tried first";
  answer(400, serviceError("AliasExistsException"));
  EXPECT_EQ(lastAction(), "ResendConfirmationCode");
  EXPECT_EQ(lastBody()["Username"], user);
  answer(200);
  EXPECT_TRUE(auth->awaitingCode.get());
  EXPECT_EQ(auth->pendingEmail(), "jane@example.com");
  EXPECT_EQ(auth->pendingCognitoUser(), user);
  EXPECT_EQ(auth->tempPassword(), temp);
}

TEST_F(AuthStateTest, ConfirmingAnAlreadyConfirmedAddressMovesOnToThePassword) {
  struct Case {
    int status;
    std::string body;
    bool verified;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {200, "{}", true, std::nullopt},
      {400, serviceError("NotAuthorizedException", "User cannot be confirmed. Current status is CONFIRMED"), true,
       std::nullopt},
      {400, serviceError("CodeMismatchException"), false, "That code isn't right — check your email."},
      {0, "", false, "Could not connect to server"},  // a transport error
  };
  for (const auto& c : cases) {
    auth->resetCreate();
    auth->awaitingCode.set(true);
    finished = false;
    auth->confirmEmail("123456", done);
    EXPECT_TRUE(auth->isBusy.get());
    if (c.status == 0) {
      ASSERT_TRUE(http->fail("Could not connect to server"));
      time->runUntilIdle();
    } else {
      answer(c.status, c.body);
    }
    EXPECT_TRUE(finished) << c.body;
    EXPECT_FALSE(auth->isBusy.get()) << c.body;
    EXPECT_EQ(auth->emailVerified.get(), c.verified) << c.body;
    EXPECT_EQ(auth->awaitingCode.get(), !c.verified) << c.body;
    EXPECT_EQ(auth->error.get(), c.error) << c.body;
  }
}

TEST_F(AuthStateTest, RefusesIncompleteInputWithoutAskingTheService) {
  struct Case {
    std::string name;
    std::function<void(AuthState&, std::function<void()>)> flow;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"verify without @", [](AuthState& a, auto d) { a.startVerify("  jane.example.com ", d); }, "Enter a valid email."},
      {"create before verifying", [](AuthState& a, auto d) { a.createAccount("Chosen-Password-1", d); },
       "Verify your email first."},
      {"sign in without @", [](AuthState& a, auto d) { a.signIn("jane", "Password-123", d); },
       "Enter your email and password."},
      {"sign in without password", [](AuthState& a, auto d) { a.signIn("jane@example.com", "", d); },
       "Enter your email and password."},
      {"reset without @", [](AuthState& a, auto d) { a.startReset("", d); }, "Enter your email."},
      {"confirm reset before it started", [](AuthState& a, auto d) { a.confirmReset("123456", "New-Password-1", d); },
       "Start the reset again."},
  };
  for (const auto& c : cases) {
    finished = false;
    auth->error.set("an earlier error");
    c.flow(*auth, done);
    EXPECT_TRUE(finished) << c.name;
    EXPECT_EQ(auth->error.get(), c.error) << c.name;
    EXPECT_FALSE(auth->isBusy.get()) << c.name;
    EXPECT_FALSE(auth->awaitingCode.get()) << c.name;
  }
  auth->resendResetCode(done);
  EXPECT_TRUE(http->requests.empty());
}

TEST_F(AuthStateTest, ResetsAForgottenPasswordAndSignsInWithTheNewOne) {
  auth->startReset(" Jane+x@Example.com ");
  EXPECT_TRUE(auth->isBusy.get());
  EXPECT_EQ(lastAction(), "ForgotPassword");
  EXPECT_EQ(lastBody(), (json{{"ClientId", "client-id"}, {"Username", "jane@example.com"}}));
  answer(200);
  EXPECT_TRUE(auth->awaitingResetCode.get());
  EXPECT_EQ(auth->resetEmail(), "jane@example.com");
  EXPECT_FALSE(auth->isBusy.get());

  // A refused resend shows why and leaves the busy flag alone.
  finished = false;
  auth->resendResetCode(done);
  EXPECT_EQ(lastAction(), "ForgotPassword");
  EXPECT_FALSE(auth->isBusy.get());
  answer(400, serviceError("LimitExceededException"));
  EXPECT_TRUE(finished);
  EXPECT_EQ(auth->error.get(), "Too many attempts — wait a bit and try again.");

  // A wrong code: no sign-in is tried.
  const auto sent = http->requests.size();
  auth->confirmReset("000000", "New-Password-1");
  EXPECT_EQ(auth->error.get(), std::nullopt);
  answer(400, serviceError("CodeMismatchException"));
  EXPECT_EQ(http->requests.size(), sent + 1);
  EXPECT_EQ(auth->error.get(), "That code isn't right — check your email.");
  EXPECT_FALSE(auth->isBusy.get());

  finished = false;
  auth->confirmReset("654321", "New-Password-1", done);
  EXPECT_EQ(lastAction(), "ConfirmForgotPassword");
  EXPECT_EQ(lastBody(), (json{{"ClientId", "client-id"},
                              {"Username", "jane@example.com"},
                              {"ConfirmationCode", "654321"},
                              {"Password", "New-Password-1"}}));
  answer(200);
  EXPECT_EQ(lastAction(), "InitiateAuth");
  EXPECT_EQ(lastBody()["AuthParameters"], (json{{"USERNAME", "jane@example.com"}, {"PASSWORD", "New-Password-1"}}));
  answer(200, session("jane-sub", "access", ""));
  EXPECT_TRUE(finished);
  EXPECT_EQ(auth->username.get(), "jane@example.com");
  EXPECT_EQ(stored(AuthState::subKey), "jane-sub");
  EXPECT_EQ(secrets->get(AuthState::refreshKey), std::nullopt) << "no refresh token given, none stored";
  EXPECT_FALSE(auth->isBusy.get());
}

TEST_F(AuthStateTest, AccountChangeOnlyForAnotherOwnerIgnoringCase) {
  auth->onAccountChange = [this] { ++accountChanges; };
  signedIn(" Me@Example.com", "me-sub");
  EXPECT_EQ(accountChanges, 1) << "first sign-in on this computer";
  EXPECT_EQ(stored(AuthState::ownerKey), "me@example.com");

  auth->signOut();
  settings->setString(AuthState::ownerKey, "ME@EXAMPLE.COM");  // written in other letter case
  signedIn("me@example.com", "me-sub");
  EXPECT_EQ(accountChanges, 1);
  EXPECT_EQ(stored(AuthState::ownerKey), "ME@EXAMPLE.COM");

  auth->signOut();
  signedIn("other@example.com", "other-sub");
  EXPECT_EQ(accountChanges, 2);
  EXPECT_EQ(stored(AuthState::ownerKey), "other@example.com");
  EXPECT_EQ(stored(AuthState::subKey), "other-sub");
}

TEST_F(AuthStateTest, SignInFailuresShowTheirTextAndLeaveTheSessionAsItWas) {
  finished = false;
  auth->signIn("jane@example.com", "wrong", done);
  answer(400, serviceError("NotAuthorizedException"));
  EXPECT_TRUE(finished);
  EXPECT_EQ(auth->error.get(), "Wrong username or password.");
  EXPECT_EQ(auth->username.get(), std::nullopt);
  EXPECT_FALSE(auth->isBusy.get());

  auth->signIn("jane@example.com", "right");
  ASSERT_TRUE(http->fail("Could not resolve host"));
  time->runUntilIdle();
  EXPECT_EQ(auth->error.get(), "Could not resolve host");
  EXPECT_FALSE(settings->contains(AuthState::userKey));
  EXPECT_EQ(secrets->get(AuthState::idTokenKey), std::nullopt);
}

TEST_F(AuthStateTest, SignOutForgetsTheSessionButKeepsThePairingAccount) {
  signedIn("jane@example.com", "jane-sub");
  auth->awaitingCode.set(true);
  auth->emailVerified.set(true);
  auth->error.set("old");
  settings->setString(AuthState::pEmailKey, "jane@example.com");

  auth->signOut();
  EXPECT_EQ(auth->username.get(), std::nullopt);
  EXPECT_FALSE(auth->awaitingCode.get());
  EXPECT_FALSE(auth->emailVerified.get());
  EXPECT_EQ(auth->error.get(), std::nullopt);
  EXPECT_FALSE(settings->contains(AuthState::userKey));
  EXPECT_FALSE(settings->contains(AuthState::pEmailKey));
  EXPECT_EQ(secrets->get(AuthState::idTokenKey), std::nullopt);
  EXPECT_EQ(secrets->get(AuthState::refreshKey), std::nullopt);
  EXPECT_EQ(stored(AuthState::subKey), "jane-sub");
  EXPECT_EQ(stored(AuthState::ownerKey), "jane@example.com");
  EXPECT_EQ(stored(AuthState::lastEmailKey), "jane@example.com");

  EXPECT_EQ(makeAuth()->username.get(), std::nullopt) << "still signed out after a restart";
}

TEST_F(AuthStateTest, StartsFromTheStoredSessionAndRecordsAMissingSub) {
  settings->setString(AuthState::userKey, "jane@example.com");
  secrets->set(idToken("from-token"), AuthState::idTokenKey);
  auto restored = makeAuth();
  EXPECT_EQ(restored->username.get(), "jane@example.com");
  EXPECT_EQ(stored(AuthState::subKey), "from-token");

  // A recorded sub is never replaced at start-up, and a bad token records nothing.
  secrets->set(idToken("newer"), AuthState::idTokenKey);
  makeAuth();
  EXPECT_EQ(stored(AuthState::subKey), "from-token");
  settings->remove(AuthState::subKey);
  secrets->set("not-a-token", AuthState::idTokenKey);
  makeAuth();
  EXPECT_FALSE(settings->contains(AuthState::subKey));
}

TEST_F(AuthStateTest, AFlowWhoseStateIsGoneEndsQuietly) {
  auth->signIn("jane@example.com", "Password-123", done);
  auth.reset();
  answer(200, session("jane-sub"));
  EXPECT_TRUE(finished);
  EXPECT_FALSE(settings->contains(AuthState::userKey));
}

}  // namespace
}  // namespace deskwave::testing
