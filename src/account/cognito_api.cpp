#include "account/cognito_api.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "platform/http_client.h"

namespace deskwave {
namespace {

#ifndef DESKWAVE_COGNITO_ENDPOINT
#define DESKWAVE_COGNITO_ENDPOINT "https://cognito-idp.us-east-1.amazonaws.com/"
#endif
#ifndef DESKWAVE_COGNITO_CLIENT_ID
#define DESKWAVE_COGNITO_CLIENT_ID "deskwavedevclient00000000"
#endif

constexpr const char* kTargetPrefix = "AWSCognitoIdentityProviderService.";
constexpr const char* kRequestFailed = "Request failed.";
constexpr const char* kNoSession = "Sign-in didn't return a session.";
constexpr const char* kAlreadyHasAccount = "That email already has an account — sign in instead.";

std::string fromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

// Service error types, tested in this order by substring, and the sentence
// shown for each; nullptr keeps the service's own message.
struct ErrorText {
  const char* type;
  const char* text;
};
constexpr std::array<ErrorText, 10> kErrorTexts = {{
    {"UsernameExistsException", kAlreadyHasAccount},
    {"AliasExistsException", kAlreadyHasAccount},
    {"InvalidPasswordException", nullptr},
    {"InvalidParameterException", nullptr},
    {"CodeMismatchException", "That code isn't right — check your email."},
    {"ExpiredCodeException", "That code expired. Tap Resend for a new one."},
    {"NotAuthorizedException", "Wrong username or password."},
    {"UserNotConfirmedException", "Please confirm your email first."},
    {"UserNotFoundException", "No account with that username."},
    {"LimitExceededException", "Too many attempts — wait a bit and try again."},
}};

std::string friendly(const std::string& message, const std::optional<std::string>& type) {
  if (!type) return message;
  for (const auto& entry : kErrorTexts) {
    if (type->find(entry.type) == std::string::npos) continue;
    return entry.text ? entry.text : message;
  }
  return message;
}

std::optional<std::string> stringAt(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// The result of one HTTP exchange: the response object, or the error to report.
std::variant<nlohmann::json, CognitoError> interpret(const HttpResult& result) {
  if (!result.response) return CognitoError{result.error, std::nullopt};
  auto object = nlohmann::json::parse(result.response->body, nullptr, false);
  if (object.is_discarded() || !object.is_object()) object = nlohmann::json::object();
  if (result.response->status == 200) return object;
  const auto type = stringAt(object, "__type");
  return CognitoError{friendly(stringAt(object, "message").value_or(kRequestFailed), type), type};
}

std::variant<CognitoTokens, CognitoError> tokensFrom(const nlohmann::json& response) {
  const CognitoError noSession{kNoSession, std::nullopt};
  auto it = response.find("AuthenticationResult");
  if (it == response.end() || !it->is_object()) return noSession;
  auto id = stringAt(*it, "IdToken");
  auto access = stringAt(*it, "AccessToken");
  if (!id || !access) return noSession;
  return CognitoTokens{std::move(*id), std::move(*access), stringAt(*it, "RefreshToken").value_or("")};
}

}  // namespace

CognitoConfig cognitoConfigFromEnvironment() {
  return {fromEnvironment("DESKWAVE_COGNITO_ENDPOINT", DESKWAVE_COGNITO_ENDPOINT),
          fromEnvironment("DESKWAVE_COGNITO_CLIENT_ID", DESKWAVE_COGNITO_CLIENT_ID)};
}

CognitoAPI::CognitoAPI(std::shared_ptr<HttpClient> http, CognitoConfig config)
    : http_(std::move(http)), config_(std::move(config)) {}

void CognitoAPI::call(const std::string& action, const nlohmann::json& body, std::shared_ptr<Executor> completeOn,
                      ObjectDone done) const {
  HttpRequest request;
  request.method = "POST";
  request.url = config_.endpoint;
  request.timeout = timeout;
  request.headers = {{"Content-Type", "application/x-amz-json-1.1"}, {"X-Amz-Target", kTargetPrefix + action}};
  try {
    request.body = body.dump();
  } catch (const nlohmann::json::exception& e) {
    // Text that is not UTF-8 cannot be sent as JSON; nothing goes out.
    completeOn->post([done = std::move(done), text = std::string(e.what())] { done(CognitoError{text, std::nullopt}); });
    return;
  }
  http_->send(std::move(request), completeOn, [done = std::move(done)](HttpResult result) { done(interpret(result)); });
}

void CognitoAPI::callIgnoringBody(const std::string& action, const nlohmann::json& body,
                                  std::shared_ptr<Executor> completeOn, Done done) const {
  call(action, body, std::move(completeOn), [done = std::move(done)](std::variant<nlohmann::json, CognitoError> r) {
    if (auto* error = std::get_if<CognitoError>(&r)) return done(std::move(*error));
    done(std::nullopt);
  });
}

void CognitoAPI::signUp(const std::string& username, const std::string& email, const std::string& password,
                        std::shared_ptr<Executor> completeOn, Done done) const {
  const nlohmann::json body = {{"ClientId", config_.clientId},
                               {"Username", username},
                               {"Password", password},
                               {"UserAttributes", nlohmann::json::array({{{"Name", "email"}, {"Value", email}}})}};
  callIgnoringBody("SignUp", body, std::move(completeOn), std::move(done));
}

void CognitoAPI::confirm(const std::string& username, const std::string& code, std::shared_ptr<Executor> completeOn,
                         Done done) const {
  const nlohmann::json body = {{"ClientId", config_.clientId}, {"Username", username}, {"ConfirmationCode", code}};
  callIgnoringBody("ConfirmSignUp", body, std::move(completeOn), std::move(done));
}

void CognitoAPI::signIn(const std::string& username, const std::string& password,
                        std::shared_ptr<Executor> completeOn, TokensDone done) const {
  const nlohmann::json body = {{"ClientId", config_.clientId},
                               {"AuthFlow", "USER_PASSWORD_AUTH"},
                               {"AuthParameters", {{"USERNAME", username}, {"PASSWORD", password}}}};
  call("InitiateAuth", body, std::move(completeOn), [done = std::move(done)](std::variant<nlohmann::json, CognitoError> r) {
    if (auto* error = std::get_if<CognitoError>(&r)) return done(std::move(*error));
    done(tokensFrom(std::get<nlohmann::json>(r)));
  });
}

void CognitoAPI::resend(const std::string& username, std::shared_ptr<Executor> completeOn, Done done) const {
  const nlohmann::json body = {{"ClientId", config_.clientId}, {"Username", username}};
  callIgnoringBody("ResendConfirmationCode", body, std::move(completeOn), std::move(done));
}

void CognitoAPI::changePassword(const std::string& accessToken, const std::string& previous,
                                const std::string& proposed, std::shared_ptr<Executor> completeOn, Done done) const {
  // Authorized by the access token alone: no client id.
  const nlohmann::json body = {
      {"AccessToken", accessToken}, {"PreviousPassword", previous}, {"ProposedPassword", proposed}};
  callIgnoringBody("ChangePassword", body, std::move(completeOn), std::move(done));
}

void CognitoAPI::forgotPassword(const std::string& username, std::shared_ptr<Executor> completeOn, Done done) const {
  const nlohmann::json body = {{"ClientId", config_.clientId}, {"Username", username}};
  callIgnoringBody("ForgotPassword", body, std::move(completeOn), std::move(done));
}

void CognitoAPI::confirmForgotPassword(const std::string& username, const std::string& code,
                                       const std::string& newPassword, std::shared_ptr<Executor> completeOn,
                                       Done done) const {
  const nlohmann::json body = {
      {"ClientId", config_.clientId}, {"Username", username}, {"ConfirmationCode", code}, {"Password", newPassword}};
  callIgnoringBody("ConfirmForgotPassword", body, std::move(completeOn), std::move(done));
}

}  // namespace deskwave
