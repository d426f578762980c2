#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/executor.h"

namespace deskwave {

// Kept out of this header: the local server has request and response types of
// the same names.
class HttpClient;

// Where the user-pool service is and which app client this program is.
struct CognitoConfig {
  std::string endpoint;
  std::string clientId;
};

// The values this build was configured with, each replaced by the environment
// variable of the same name (DESKWAVE_COGNITO_ENDPOINT,
// DESKWAVE_COGNITO_CLIENT_ID) when that is set and not empty.
CognitoConfig cognitoConfigFromEnvironment();

// A failed request. `text` is the sentence the sign-in window shows as it
// stands; `type` is the service's error type name, when it gave one (transport
// errors have none).
struct CognitoError {
  std::string text;
  std::optional<std::string> type;

  bool typeContains(std::string_view name) const { return type && type->find(name) != std::string::npos; }
};

// The session a sign-in returns. `refreshToken` is empty when the service gave none.
struct CognitoTokens {
  std::string idToken;
  std::string accessToken;
  std::string refreshToken;
};

// A thin, stateless client of the user-pool JSON API. Every operation returns
// at once; its completion runs later on the executor the caller names, with
// nullopt (or the result) on success and the error otherwise. Values are sent
// exactly as given: callers normalize e-mail addresses first.
class CognitoAPI {
 public:
  using Done = std::function<void(std::optional<CognitoError>)>;
  using TokensDone = std::function<void(std::variant<CognitoTokens, CognitoError>)>;
  using ObjectDone = std::function<void(std::variant<nlohmann::json, CognitoError>)>;

  static constexpr Seconds timeout{20};

  CognitoAPI(std::shared_ptr<HttpClient> http, CognitoConfig config);

  const CognitoConfig& config() const { return config_; }

  // Posts `body` for `action` and completes with the response object (an
  // empty object when the body is not one) or the error.
  void call(const std::string& action, const nlohmann::json& body, std::shared_ptr<Executor> completeOn,
            ObjectDone done) const;

  void signUp(const std::string& username, const std::string& email, const std::string& password,
              std::shared_ptr<Executor> completeOn, Done done) const;
  void confirm(const std::string& username, const std::string& code, std::shared_ptr<Executor> completeOn,
               Done done) const;
  void signIn(const std::string& username, const std::string& password, std::shared_ptr<Executor> completeOn,
              TokensDone done) const;
  void resend(const std::string& username, std::shared_ptr<Executor> completeOn, Done done) const;
  void changePassword(const std::string& accessToken, const std::string& previous, const std::string& proposed,
                      std::shared_ptr<Executor> completeOn, Done done) const;
  void forgotPassword(const std::string& username, std::shared_ptr<Executor> completeOn, Done done) const;
  void confirmForgotPassword(const std::string& username, const std::string& code, const std::string& newPassword,
                             std::shared_ptr<Executor> completeOn, Done done) const;

 private:
  // Like `call`, for operations whose response body does not matter.
  void callIgnoringBody(const std::string& action, const nlohmann::json& body, std::shared_ptr<Executor> completeOn,
                        Done done) const;

  std::shared_ptr<HttpClient> http_;
  CognitoConfig config_;
};

}  // namespace deskwave
