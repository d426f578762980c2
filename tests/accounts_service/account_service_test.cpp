// The account service's operations through its request/response function, on
// a real SQLite store in a temporary folder and a virtual clock.

#include "account_service.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "password_hash.h"
#include "platform/base64.h"
#include "platform/uuid.h"
#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using namespace deskwave::accounts;
using Json = nlohmann::json;

const std::string kClient = "test-client-id";
const std::string kPassword = "Correct-horse-9";

class AccountServiceTest : public ::testing::Test {
 protected:
  static ServiceConfig config() {
    ServiceConfig c;
    c.clientId = kClient;
    c.issuer = "http://accounts.test";
    c.passwordIterations = 1000;  // the production count only makes the tests slow
    return c;
  }

  // Reopens the store and builds a fresh service over it (as a restart would).
  void restart() {
    service.reset();
    store = AccountStore::open(dataDir / "accounts.sqlite3");
    service = std::make_unique<AccountService>(*store, TokenSigner(secret), time->clock(), config(),
                                               [this](const std::string& line) { log.push_back(line); });
  }
  void SetUp() override { restart(); }

  ServiceReply call(const std::string& action, Json body) {
    if (action != "ChangePassword" && !body.contains("ClientId")) body["ClientId"] = kClient;
    return service->handle(action, body.dump());
  }

  ServiceReply signUp(const std::string& user, const std::string& email, const std::string& password = kPassword) {
    return call("SignUp", {{"Username", user},
                           {"Password", password},
                           {"UserAttributes", Json::array({{{"Name", "email"}, {"Value", email}}})}});
  }
  // The newest code the log shows for `user` ("code for <user> (<email>): 123456").
  std::string codeFor(const std::string& user, const std::string& kind = "code") {
    const std::regex line("^" + kind + " for " + user + " \\(.*\\): ([0-9]{6})$");
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
      std::smatch m;
      if (std::regex_match(*it, m, line)) return m[1];
    }
    ADD_FAILURE() << "no " << kind << " for " << user << " in the log";
    return {};
  }
  ServiceReply confirm(const std::string& user, const std::string& code) {
    return call("ConfirmSignUp", {{"Username", user}, {"ConfirmationCode", code}});
  }
  ServiceReply signIn(const std::string& user, const std::string& password = kPassword) {
    return call("InitiateAuth",
                {{"AuthFlow", "USER_PASSWORD_AUTH"}, {"AuthParameters", {{"USERNAME", user}, {"PASSWORD", password}}}});
  }
  // Signs up and confirms; returns the user's sub.
  std::string confirmedUser(const std::string& user, const std::string& email) {
    const auto reply = signUp(user, email);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(confirm(user, codeFor(user)).status, 200);
    return reply.body.value("UserSub", "");
  }
  Json claims(const std::string& token) {
    auto verified = TokenSigner(secret).verify(token);
    EXPECT_TRUE(verified.has_value()) << "signature of " << token;
    return verified.value_or(Json::object());
  }

  TempHome home;
  std::filesystem::path dataDir = home.path() / "accounts";
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Bytes secret = TokenSigner::loadOrCreateSecret(dataDir / "token-secret");
  std::vector<std::string> log;
  std::unique_ptr<AccountStore> store;
  std::unique_ptr<AccountService> service;
};

// Status 400 with this "__type".
MATCHER_P(Fails, type, "") {
  *result_listener << "status " << arg.status << ", body " << arg.body.dump();
  return arg.status == 400 && arg.errorType() == type;
}

TEST_F(AccountServiceTest, SignUpConfirmAndSignInByUserNameAndByEmail) {
  const auto reply = signUp("u-alice", "alice@example.com");
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.body["UserConfirmed"], false);
  const std::string sub = reply.body["UserSub"];
  EXPECT_TRUE(isCanonicalUuid(sub));
  EXPECT_EQ(sub, foldCase(sub)) << "lower-case like the service's";
  EXPECT_EQ(reply.body["CodeDeliveryDetails"]["DeliveryMedium"], "EMAIL");
  EXPECT_EQ(reply.body["CodeDeliveryDetails"]["AttributeName"], "email");

  EXPECT_THAT(signIn("u-alice"), Fails("UserNotConfirmedException"));
  EXPECT_THAT(signIn("u-alice", "Wrong-password-1"), Fails("NotAuthorizedException"));
  EXPECT_THAT(signIn("alice@example.com"), Fails("NotAuthorizedException")) << "not an alias before confirmation";

  ASSERT_EQ(confirm("u-alice", codeFor("u-alice")).status, 200);

  for (const std::string name : {"u-alice", "U-Alice", "alice@example.com", "Alice@Example.COM"}) {
    const auto in = signIn(name);
    ASSERT_EQ(in.status, 200) << name << ": " << in.body;
    const auto& result = in.body["AuthenticationResult"];
    EXPECT_EQ(result["ExpiresIn"], 3600);
    EXPECT_EQ(result["TokenType"], "Bearer");
    EXPECT_FALSE(result["RefreshToken"].get<std::string>().empty());
    EXPECT_EQ(in.body["ChallengeParameters"], Json::object());
    EXPECT_EQ(claims(result["IdToken"])["sub"], sub) << name;
  }
  EXPECT_THAT(signIn("nobody"), Fails("NotAuthorizedException"));
  EXPECT_EQ(signIn("nobody").body["message"], "Incorrect username or password.");
}

TEST_F(AccountServiceTest, TokensAreSignedWithTheKeptSecretAndCarryTheClaims) {
  const auto sub = confirmedUser("u-bob", "bob@example.com");
  const auto result = signIn("bob@example.com").body["AuthenticationResult"];
  const auto id = claims(result["IdToken"]);
  EXPECT_EQ(id["sub"], sub);
  EXPECT_EQ(id["email"], "bob@example.com");
  EXPECT_EQ(id["email_verified"], true);
  EXPECT_EQ(id["cognito:username"], "u-bob");
  EXPECT_EQ(id["token_use"], "id");
  EXPECT_EQ(id["iss"], "http://accounts.test");
  EXPECT_EQ(id["aud"], kClient);
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(time->clock()->now().time_since_epoch()).count();
  EXPECT_EQ(id["iat"], now);
  EXPECT_EQ(id["exp"], now + 3600);
  const auto access = claims(result["AccessToken"]);
  EXPECT_EQ(access["token_use"], "access");
  EXPECT_EQ(access["sub"], sub);
  EXPECT_EQ(access["exp"], now + 3600);

  // A changed payload, or a token from another secret, does not verify.
  const std::string token = result["IdToken"];
  const auto dot1 = token.find('.'), dot2 = token.rfind('.');
  auto forged = id;
  forged["sub"] = "someone-else";
  EXPECT_FALSE(TokenSigner(secret).verify(token.substr(0, dot1 + 1) + base64UrlEncode(forged.dump()) +
                                          token.substr(dot2)));
  EXPECT_FALSE(TokenSigner(Bytes(32, 7)).verify(token));
  EXPECT_FALSE(TokenSigner(secret).verify(token.substr(0, dot2)));

  // The secret is kept, private, and read back rather than replaced.
  struct stat info {};
  ASSERT_EQ(::stat((dataDir / "token-secret").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_size, 32);
  EXPECT_EQ(TokenSigner::loadOrCreateSecret(dataDir / "token-secret"), secret);
  std::ofstream(home.path() / "short-secret") << "too short";
  EXPECT_THROW(TokenSigner::loadOrCreateSecret(home.path() / "short-secret"), std::runtime_error);
}

TEST_F(AccountServiceTest, TheEmailIsAnAliasUniqueAmongConfirmedUsers) {
  // Two unconfirmed sign-ups may name one address; the first to confirm takes it.
  ASSERT_EQ(signUp("u-first", "shared@example.com").status, 200);
  ASSERT_EQ(signUp("u-second", "shared@example.com").status, 200);
  const auto secondCode = codeFor("u-second");
  ASSERT_EQ(confirm("u-first", codeFor("u-first")).status, 200);
  const auto late = confirm("u-second", secondCode);
  EXPECT_THAT(late, Fails("AliasExistsException"));
  EXPECT_EQ(late.body["message"], "An account with the given email already exists.");
  EXPECT_THAT(signIn("u-second"), Fails("UserNotConfirmedException")) << "the loser stays unconfirmed";
  EXPECT_EQ(claims(signIn("shared@example.com").body["AuthenticationResult"]["IdToken"])["cognito:username"],
            "u-first");

  // Once confirmed, the address (in any letter case) cannot be signed up again; the user name neither.
  const auto again = signUp("u-third", "Shared@Example.com");
  EXPECT_THAT(again, Fails("AliasExistsException"));
  EXPECT_EQ(again.body["message"], "An account with the given email already exists.");
  EXPECT_THAT(signUp("U-FIRST", "other@example.com"), Fails("UsernameExistsException"));
  EXPECT_THAT(signUp("someone@example.com", "other@example.com"), Fails("InvalidParameterException"))
      << "a user name in e-mail form would clash with the alias";

  // The address survives a restart as an alias.
  restart();
  EXPECT_EQ(signIn("shared@example.com").status, 200);
  EXPECT_THAT(signUp("u-fourth", "shared@example.com"), Fails("AliasExistsException"));
}

TEST_F(AccountServiceTest, WrongExpiredAndReplacedCodes) {
  ASSERT_EQ(signUp("u-carol", "carol@example.com").status, 200);
  const auto first = codeFor("u-carol");
  const auto wrong = first == "000000" ? "000001" : "000000";
  const auto mismatch = confirm("u-carol", wrong);
  EXPECT_THAT(mismatch, Fails("CodeMismatchException"));
  EXPECT_THAT(confirm("nobody", first), Fails("UserNotFoundException"));

  time->advance(Seconds(24 * 3600 + 1));
  EXPECT_THAT(confirm("u-carol", first), Fails("ExpiredCodeException"));

  ASSERT_EQ(call("ResendConfirmationCode", {{"Username", "u-carol"}}).status, 200);
  const auto second = codeFor("u-carol");
  if (second != first) {
    EXPECT_THAT(confirm("u-carol", first), Fails("CodeMismatchException")) << "the resend replaced it";
  }
  EXPECT_EQ(confirm("u-carol", second).status, 200);
  EXPECT_THAT(call("ResendConfirmationCode", {{"Username", "nobody"}}), Fails("UserNotFoundException"));
}

TEST_F(AccountServiceTest, ReconfirmingAConfirmedUserIsNotAuthorized) {
  confirmedUser("u-dave", "dave@example.com");
  // A resend still issues a code; confirming with it tells the desktop the address is already confirmed.
  ASSERT_EQ(call("ResendConfirmationCode", {{"Username", "u-dave"}}).status, 200);
  const auto reply = confirm("u-dave", codeFor("u-dave"));
  EXPECT_THAT(reply, Fails("NotAuthorizedException"));
  EXPECT_EQ(reply.body["message"], "User cannot be confirmed. Current status is CONFIRMED");
}

TEST_F(AccountServiceTest, ChangePasswordNeedsAValidAccessTokenAndThePreviousPassword) {
  confirmedUser("u-erin", "erin@example.com");
  const auto result = signIn("u-erin").body["AuthenticationResult"];
  const std::string access = result["AccessToken"];
  const auto change = [&](const std::string& token, const std::string& previous, const std::string& proposed) {
    return call("ChangePassword", {{"AccessToken", token}, {"PreviousPassword", previous}, {"ProposedPassword", proposed}});
  };
  const std::string next = "Brand-new-pass-7";
  EXPECT_THAT(change(access, "Not-the-one-1", next), Fails("NotAuthorizedException"));
  EXPECT_THAT(change(access, kPassword, "short"), Fails("InvalidPasswordException"));
  EXPECT_THAT(change(result["IdToken"], kPassword, next), Fails("NotAuthorizedException")) << "an id token is no access token";
  EXPECT_THAT(change(access + "x", kPassword, next), Fails("NotAuthorizedException"));
  EXPECT_THAT(change("not-a-token", kPassword, next), Fails("NotAuthorizedException"));

  ASSERT_EQ(change(access, kPassword, next).status, 200);
  EXPECT_THAT(signIn("erin@example.com"), Fails("NotAuthorizedException"));
  EXPECT_EQ(signIn("erin@example.com", next).status, 200);

  time->advance(Seconds(3600));
  const auto expired = change(access, next, kPassword);
  EXPECT_THAT(expired, Fails("NotAuthorizedException"));
  EXPECT_EQ(expired.body["message"], "Access Token has expired");
}

TEST_F(AccountServiceTest, ForgottenPasswordIsResetWithTheMailedCode) {
  confirmedUser("u-fay", "fay@example.com");
  ASSERT_EQ(signUp("u-unconfirmed", "late@example.com").status, 200);
  EXPECT_THAT(call("ForgotPassword", {{"Username", "nobody@example.com"}}), Fails("UserNotFoundException"));
  EXPECT_THAT(call("ForgotPassword", {{"Username", "late@example.com"}}), Fails("UserNotFoundException"))
      << "an unconfirmed address is no alias";
  EXPECT_THAT(call("ForgotPassword", {{"Username", "u-unconfirmed"}}), Fails("InvalidParameterException"));

  const auto reset = [&](const std::string& code, const std::string& password) {
    return call("ConfirmForgotPassword",
                {{"Username", "fay@example.com"}, {"ConfirmationCode", code}, {"Password", password}});
  };
  const std::string next = "Reset-password-5";
  EXPECT_THAT(reset("123456", next), Fails("ExpiredCodeException")) << "no code was requested";
  ASSERT_EQ(call("ForgotPassword", {{"Username", "fay@example.com"}}).status, 200);
  const auto code = codeFor("u-fay", "reset code");
  EXPECT_THAT(reset(code == "000000" ? "000001" : "000000", next), Fails("CodeMismatchException"));
  EXPECT_THAT(reset(code, "weakpassword"), Fails("InvalidPasswordException"));
  ASSERT_EQ(reset(code, next).status, 200);
  EXPECT_THAT(signIn("u-fay"), Fails("NotAuthorizedException"));
  EXPECT_EQ(signIn("u-fay", next).status, 200);
  EXPECT_THAT(reset(code, kPassword), Fails("ExpiredCodeException")) << "a code works once";

  ASSERT_EQ(call("ForgotPassword", {{"Username", "u-fay"}}).status, 200);
  const auto later = codeFor("u-fay", "reset code");
  time->advance(Seconds(3600));
  EXPECT_THAT(reset(later, kPassword), Fails("ExpiredCodeException"));
  EXPECT_EQ(signIn("u-fay", next).status, 200);
}

TEST_F(AccountServiceTest, RepeatedFailuresLockTheUserForAWhile) {
  confirmedUser("u-gus", "gus@example.com");
  for (int i = 0; i < 5; ++i) EXPECT_THAT(signIn("u-gus", "Wrong-guess-" + std::to_string(i)), Fails("NotAuthorizedException"));
  EXPECT_THAT(signIn("u-gus"), Fails("LimitExceededException")) << "even the right password is refused";
  EXPECT_THAT(signIn("gus@example.com"), Fails("LimitExceededException")) << "by alias as well";
  time->advance(Seconds(15 * 60));
  EXPECT_EQ(signIn("u-gus").status, 200);

  // Wrong codes count too.
  ASSERT_EQ(signUp("u-hal", "hal@example.com").status, 200);
  const auto code = codeFor("u-hal");
  for (int i = 0; i < 5; ++i) {
    const auto guess = std::to_string(100000 + i);
    EXPECT_THAT(confirm("u-hal", guess != code ? guess : "999999x"), Fails("CodeMismatchException"));
  }
  EXPECT_THAT(confirm("u-hal", code), Fails("LimitExceededException"));
  EXPECT_EQ(signIn("u-gus").status, 200) << "other users are not affected";
}

TEST_F(AccountServiceTest, PasswordsAreStoredAsSaltedHashes) {
  confirmedUser("u-ivy", "ivy@example.com");
  const auto user = store->findByUsername("u-ivy");
  ASSERT_TRUE(user);
  EXPECT_THAT(user->passwordHash, ::testing::StartsWith("pbkdf2-sha256$1000$"));
  EXPECT_EQ(user->passwordHash.find(kPassword), std::string::npos);
  EXPECT_NE(hashPassword(kPassword, 1000), hashPassword(kPassword, 1000)) << "salted";
  EXPECT_TRUE(verifyPassword(kPassword, user->passwordHash));
  EXPECT_FALSE(verifyPassword("Correct-horse-8", user->passwordHash));
  for (const std::string stored : {"", "pbkdf2-sha256$0$AAAA$AAAA", "bcrypt$1000$AAAA$AAAA",
                                   "pbkdf2-sha256$1000$AAAA", "pbkdf2-sha256$1x$AAAA$AAAA"})
    EXPECT_FALSE(verifyPassword(kPassword, stored)) << stored;
}

TEST(PasswordPolicyTest, EachRuleAndCharactersNotBytes) {
  const std::string prefix = "Password did not conform with policy: ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Ab1!xyz", "Password not long enough"},
      {"Ab1!\u00e9\u00e9\u00e9", "Password not long enough"},  // 7 characters in 10 bytes
      {"abcdefg1!", "Password must have uppercase characters"},
      {"ABCDEFG1!", "Password must have lowercase characters"},
      {"Abcdefgh!", "Password must have numeric characters"},
      {"Abcdefg12", "Password must have symbol characters"},
      {"Ab1!Ab1!", ""},
      {"Ab1!\u00e9\u00e9\u00e9\u00e9", ""},
      {"Abc 1defg", ""},  // the blank is a symbol
  };
  for (const auto& [password, broken] : cases)
    EXPECT_EQ(passwordPolicyViolation(password), broken.empty() ? "" : prefix + broken) << password;
}

TEST_F(AccountServiceTest, MalformedRequestsAreRefusedAsTheServiceDoes) {
  const auto withClient = [](Json body) {
    body["ClientId"] = kClient;
    return body.dump();
  };
  const struct {
    std::string action, body, type;
  } cases[] = {
      {"SignUp", "{\"ClientId\":", "SerializationException"},
      {"SignUp", "[1,2]", "SerializationException"},
      {"SignUp", "", "SerializationException"},
      {"DeleteUser", withClient({}), "UnknownOperationException"},
      {"", "{}", "UnknownOperationException"},
      {"SignUp", withClient({{"Username", 5}, {"Password", kPassword}}), "SerializationException"},
      {"SignUp", withClient({{"Password", kPassword}}), "InvalidParameterException"},
      {"SignUp", withClient({{"Username", "u-x"}, {"Password", kPassword}}), "InvalidParameterException"},  // no email
      {"SignUp", Json{{"Username", "u-x"}, {"Password", kPassword}}.dump(), "InvalidParameterException"},
      {"SignUp", Json{{"ClientId", "other"}, {"Username", "u-x"}}.dump(), "ResourceNotFoundException"},
      {"InitiateAuth", withClient({{"AuthFlow", "USER_SRP_AUTH"}}), "InvalidParameterException"},
      {"InitiateAuth", withClient({{"AuthFlow", "USER_PASSWORD_AUTH"}, {"AuthParameters", {{"USERNAME", "u"}}}}),
       "InvalidParameterException"},
      {"ChangePassword", Json{{"AccessToken", "x"}}.dump(), "InvalidParameterException"},
      {"ConfirmForgotPassword", withClient({{"Username", "u"}, {"ConfirmationCode", ""}, {"Password", kPassword}}),
       "InvalidParameterException"},
  };
  for (const auto& c : cases) {
    const auto reply = service->handle(c.action, c.body);
    EXPECT_THAT(reply, Fails(c.type)) << c.action << " " << c.body;
    EXPECT_TRUE(reply.body["message"].is_string()) << c.action << " " << c.body;
  }
  EXPECT_EQ(service->handle("SignUp", Json{{"ClientId", "other"}}.dump()).body["message"],
            "User pool client other does not exist.");
  EXPECT_THAT(signUp("u-weak", "weak@example.com", "password"), Fails("InvalidPasswordException"));
}

}  // namespace
}  // namespace deskwave::testing
