#include <gmock/gmock.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>

#include "account/cognito_api.h"
#include "platform/virtual_time.h"
#include "support/fake_http_client.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using nlohmann::json;

class CognitoAPITest : public ::testing::Test {
 protected:
  // The outcome of an operation that returns nothing: nullopt until it completes.
  struct Outcome {
    bool completed = false;
    std::optional<CognitoError> error;
  };

  CognitoAPI::Done record(Outcome& outcome) {
    return [&outcome](std::optional<CognitoError> error) {
      outcome.completed = true;
      outcome.error = std::move(error);
    };
  }

  // Sends a ConfirmSignUp, answers it with `status` and `body`, and returns the outcome.
  Outcome confirmAnswered(int status, const std::string& body) {
    Outcome outcome;
    api.confirm("u-1", "123456", runtime.main, record(outcome));
    EXPECT_TRUE(http->respond(status, body));
    time->runUntilIdle();
    EXPECT_TRUE(outcome.completed);
    return outcome;
  }

  std::variant<CognitoTokens, CognitoError> signInAnswered(int status, const std::string& body) {
    std::optional<std::variant<CognitoTokens, CognitoError>> result;
    api.signIn("jane@example.com", "pw", runtime.main, [&](auto r) { result = std::move(r); });
    EXPECT_TRUE(http->respond(status, body));
    time->runUntilIdle();
    EXPECT_TRUE(result.has_value());
    return result.value_or(CognitoError{"no completion", std::nullopt});
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  CognitoAPI api{http, CognitoConfig{"https://cognito.test/", "client0123456789abcdefghi"}};
};

TEST_F(CognitoAPITest, FramesEveryOperationWithItsActionAndExactBody) {
  // Values with blanks, capitals, a "+" tag and leading zeros go out as given.
  const std::string user = " Jane.Doe+x@GMail.com ";
  const std::string code = " 012345 ";
  const std::string password = "Pa ss Word!";
  const std::string clientId = "client0123456789abcdefghi";
  const auto done = [](std::optional<CognitoError>) {};
  struct Case {
    std::function<void()> send;
    std::string action;
    json body;
  };
  const std::vector<Case> cases = {
      {[&] { api.signUp(user, "jane.doe@gmail.com", password, runtime.main, done); },
       "SignUp",
       {{"ClientId", clientId},
        {"Username", user},
        {"Password", password},
        {"UserAttributes", json::array({{{"Name", "email"}, {"Value", "jane.doe@gmail.com"}}})}}},
      {[&] { api.confirm(user, code, runtime.main, done); },
       "ConfirmSignUp",
       {{"ClientId", clientId}, {"Username", user}, {"ConfirmationCode", code}}},
      {[&] { api.signIn(user, password, runtime.main, [](auto) {}); },
       "InitiateAuth",
       {{"ClientId", clientId},
        {"AuthFlow", "USER_PASSWORD_AUTH"},
        {"AuthParameters", {{"USERNAME", user}, {"PASSWORD", password}}}}},
      {[&] { api.resend(user, runtime.main, done); }, "ResendConfirmationCode", {{"ClientId", clientId}, {"Username", user}}},
      {[&] { api.changePassword("access.token.x", "Temp-1", password, runtime.main, done); },
       "ChangePassword",
       {{"AccessToken", "access.token.x"}, {"PreviousPassword", "Temp-1"}, {"ProposedPassword", password}}},
      {[&] { api.forgotPassword(user, runtime.main, done); }, "ForgotPassword", {{"ClientId", clientId}, {"Username", user}}},
      {[&] { api.confirmForgotPassword(user, code, password, runtime.main, done); },
       "ConfirmForgotPassword",
       {{"ClientId", clientId}, {"Username", user}, {"ConfirmationCode", code}, {"Password", password}}},
  };
  for (const auto& c : cases) {
    http->requests.clear();
    c.send();
    ASSERT_EQ(http->requests.size(), 1u) << c.action;
    const auto& request = http->requests[0];
    EXPECT_EQ(request.method, "POST") << c.action;
    EXPECT_EQ(request.url, "https://cognito.test/") << c.action;
    EXPECT_EQ(request.timeout, Seconds(20)) << c.action;
    EXPECT_THAT(request.headers,
                ::testing::UnorderedElementsAre(
                    std::pair<std::string, std::string>{"Content-Type", "application/x-amz-json-1.1"},
                    std::pair<std::string, std::string>{"X-Amz-Target",
                                                        "AWSCognitoIdentityProviderService." + c.action}))
        << c.action;
    ASSERT_TRUE(request.body.has_value()) << c.action;
    EXPECT_EQ(json::parse(*request.body), c.body) << c.action;
    EXPECT_EQ(*request.body, json::parse(*request.body).dump()) << "compact JSON: " << c.action;
  }
}

TEST_F(CognitoAPITest, MapsServiceErrorsToTheSentencesShown) {
  struct Case {
    int status;
    std::string body;
    std::string text;
    std::optional<std::string> type;
  };
  const std::vector<Case> cases = {
      {400, R"({"__type":"UsernameExistsException","message":"User already exists"})",
       "That email already has an account — sign in instead.", "UsernameExistsException"},
      {400, R"({"__type":"AliasExistsException","message":"An account with the email already exists."})",
       "That email already has an account — sign in instead.", "AliasExistsException"},
      {400, R"({"__type":"InvalidPasswordException","message":"Password did not conform with policy"})",
       "Password did not conform with policy", "InvalidPasswordException"},
      {400, R"({"__type":"InvalidParameterException","message":"Invalid email address format."})",
       "Invalid email address format.", "InvalidParameterException"},
      {400, R"({"__type":"CodeMismatchException","message":"Invalid verification code provided"})",
       "That code isn't right — check your email.", "CodeMismatchException"},
      {400, R"({"__type":"ExpiredCodeException","message":"Invalid code provided, please request a code again."})",
       "That code expired. Tap Resend for a new one.", "ExpiredCodeException"},
      {400, R"({"__type":"NotAuthorizedException","message":"Incorrect username or password."})",
       "Wrong username or password.", "NotAuthorizedException"},
      {400, R"({"__type":"UserNotConfirmedException","message":"User is not confirmed."})",
       "Please confirm your email first.", "UserNotConfirmedException"},
      {400, R"({"__type":"UserNotFoundException","message":"User does not exist."})", "No account with that username.",
       "UserNotFoundException"},
      {400, R"({"__type":"LimitExceededException","message":"Attempt limit exceeded"})",
       "Too many attempts — wait a bit and try again.", "LimitExceededException"},
      // The type is matched as a substring, as services may prefix it.
      {400, R"({"__type":"com.amazonaws.cognito#NotAuthorizedException","message":"x"})", "Wrong username or password.",
       "com.amazonaws.cognito#NotAuthorizedException"},
      // Unknown types and missing types keep the service's message.
      {400, R"({"__type":"InternalErrorException","message":"Something broke."})", "Something broke.",
       "InternalErrorException"},
      {403, R"({"message":"Forbidden"})", "Forbidden", std::nullopt},
      // No usable message: the generic sentence, unless the type maps to a fixed one.
      {400, R"({"__type":"InvalidPasswordException"})", "Request failed.", "InvalidPasswordException"},
      {400, R"({"__type":"CodeMismatchException"})", "That code isn't right — check your email.", "CodeMismatchException"},
      {400, R"({"__type":42,"message":7})", "Request failed.", std::nullopt},
      {500, "", "Request failed.", std::nullopt},
      {502, "<html>Bad gateway</html>", "Request failed.", std::nullopt},
      {400, R"(["message","x"])", "Request failed.", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto outcome = confirmAnswered(c.status, c.body);
    ASSERT_TRUE(outcome.error.has_value()) << c.body;
    EXPECT_EQ(outcome.error->text, c.text) << c.body;
    EXPECT_EQ(outcome.error->type, c.type) << c.body;
  }
  // Status 200 succeeds whatever the body.
  for (const std::string body : {"", "not json", R"({"CodeDeliveryDetails":{}})"})
    EXPECT_FALSE(confirmAnswered(200, body).error.has_value()) << body;
}

TEST_F(CognitoAPITest, SignInReturnsTheSessionOrSaysThereIsNone) {
  auto ok = signInAnswered(200, R"({"AuthenticationResult":{"IdToken":"id.a.b","AccessToken":"acc",
                                   "RefreshToken":"ref","ExpiresIn":3600}})");
  ASSERT_TRUE(std::holds_alternative<CognitoTokens>(ok));
  EXPECT_EQ(std::get<CognitoTokens>(ok).idToken, "id.a.b");
  EXPECT_EQ(std::get<CognitoTokens>(ok).accessToken, "acc");
  EXPECT_EQ(std::get<CognitoTokens>(ok).refreshToken, "ref");

  auto noRefresh = signInAnswered(200, R"({"AuthenticationResult":{"IdToken":"id","AccessToken":"acc"}})");
  ASSERT_TRUE(std::holds_alternative<CognitoTokens>(noRefresh));
  EXPECT_EQ(std::get<CognitoTokens>(noRefresh).refreshToken, "");

  // A challenge instead of a session, or a session missing a token.
  for (const std::string body :
       {R"({"ChallengeName":"NEW_PASSWORD_REQUIRED","Session":"s"})", R"({"AuthenticationResult":"x"})",
        R"({"AuthenticationResult":{"IdToken":"id"}})", R"({"AuthenticationResult":{"IdToken":1,"AccessToken":"a"}})",
        "", "{}"}) {
    auto result = signInAnswered(200, body);
    ASSERT_TRUE(std::holds_alternative<CognitoError>(result)) << body;
    EXPECT_EQ(std::get<CognitoError>(result).text, "Sign-in didn't return a session.") << body;
    EXPECT_EQ(std::get<CognitoError>(result).type, std::nullopt) << body;
  }

  auto refused = signInAnswered(400, R"({"__type":"NotAuthorizedException","message":"Incorrect username or password."})");
  ASSERT_TRUE(std::holds_alternative<CognitoError>(refused));
  EXPECT_EQ(std::get<CognitoError>(refused).text, "Wrong username or password.");
}

TEST_F(CognitoAPITest, TransportErrorsPassUnchangedOnTheCallersExecutor) {
  Outcome outcome;
  api.forgotPassword("jane@example.com", runtime.main, record(outcome));
  ASSERT_TRUE(http->fail("Timeout was reached"));
  EXPECT_FALSE(outcome.completed) << "completes on the executor, not inside the client";
  time->runUntilIdle();
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->text, "Timeout was reached");
  EXPECT_EQ(outcome.error->type, std::nullopt);
}

TEST_F(CognitoAPITest, TextThatCannotBeJsonFailsWithoutSending) {
  Outcome outcome;
  api.signUp("u-1", "jane@example.com", "bad\xff\xfepassword", runtime.main, record(outcome));
  EXPECT_TRUE(http->requests.empty());
  EXPECT_FALSE(outcome.completed);
  time->runUntilIdle();
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_FALSE(outcome.error->text.empty());
  EXPECT_EQ(outcome.error->type, std::nullopt);
}

TEST(CognitoConfigTest, EnvironmentOverridesTheBuiltInValues) {
  TempHome home;
  ::unsetenv("DESKWAVE_COGNITO_ENDPOINT");
  ::unsetenv("DESKWAVE_COGNITO_CLIENT_ID");
  const auto built = cognitoConfigFromEnvironment();
  EXPECT_FALSE(built.endpoint.empty());
  EXPECT_FALSE(built.clientId.empty());

  ::setenv("DESKWAVE_COGNITO_ENDPOINT", "http://127.0.0.1:9229/", 1);
  ::setenv("DESKWAVE_COGNITO_CLIENT_ID", "localclient", 1);
  const auto local = cognitoConfigFromEnvironment();
  EXPECT_EQ(local.endpoint, "http://127.0.0.1:9229/");
  EXPECT_EQ(local.clientId, "localclient");

  // An empty variable counts as unset.
  ::setenv("DESKWAVE_COGNITO_ENDPOINT", "", 1);
  ::setenv("DESKWAVE_COGNITO_CLIENT_ID", "", 1);
  const auto empty = cognitoConfigFromEnvironment();
  EXPECT_EQ(empty.endpoint, built.endpoint);
  EXPECT_EQ(empty.clientId, built.clientId);
  ::unsetenv("DESKWAVE_COGNITO_ENDPOINT");
  ::unsetenv("DESKWAVE_COGNITO_CLIENT_ID");
}

}  // namespace
}  // namespace deskwave::testing
