#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "account_store.h"
#include "attempt_limiter.h"
#include "platform/clock.h"
#include "token_signer.h"

namespace deskwave::accounts {

struct ServiceConfig {
  // Requests naming another app client are refused; empty accepts any.
  std::string clientId;
  // The "iss" claim of the tokens.
  std::string issuer = "deskwave-accounts";
  int passwordIterations = 600'000;
  Seconds signUpCodeLifetime{24 * 3600};
  Seconds resetCodeLifetime{3600};
  Seconds tokenLifetime{3600};
  std::size_t maxFailures = 5;  // wrong codes or passwords per user within the window…
  Seconds failureWindow{15 * 60};  // …before further attempts are refused
};

// One answer: the HTTP status and the JSON body.
struct ServiceReply {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();

  // The error type of a failed request ("__type"), empty on success.
  std::string errorType() const;
};

// `text` cut to 200 bytes with control characters replaced, for one log line.
std::string forLog(std::string_view text);

// The user-pool operations of the Cognito identity provider JSON protocol that
// the desktop uses, over an AccountStore. There is no e-mail: codes go to the
// log. Not thread-safe: the HTTP shell calls it from its one thread.
class AccountService {
 public:
  using Log = std::function<void(const std::string&)>;

  AccountService(AccountStore& store, TokenSigner signer, std::shared_ptr<Clock> clock, ServiceConfig config,
                 Log log);

  // `action` is the part of X-Amz-Target after "AWSCognitoIdentityProviderService.".
  ServiceReply handle(std::string_view action, std::string_view body);

 private:
  struct Request;
  ServiceReply signUp(const Request& request);
  ServiceReply confirmSignUp(const Request& request);
  ServiceReply resendConfirmationCode(const Request& request);
  ServiceReply initiateAuth(const Request& request);
  ServiceReply changePassword(const Request& request);
  ServiceReply forgotPassword(const Request& request);
  ServiceReply confirmForgotPassword(const Request& request);

  // A user by user name, or by e-mail address when that belongs to a confirmed user.
  std::optional<UserRecord> resolve(const std::string& usernameOrEmail) const;
  // Checks a code; on a wrong one counts a failure. Returns the error reply, or nullopt when it matches.
  std::optional<ServiceReply> checkCode(const UserRecord& user, CodePurpose purpose, const std::string& code);
  nlohmann::json issueCode(const UserRecord& user, CodePurpose purpose);
  nlohmann::json tokensFor(const UserRecord& user, const std::string& clientId);
  std::int64_t unixNow() const;

  AccountStore& store_;
  TokenSigner signer_;
  std::shared_ptr<Clock> clock_;
  ServiceConfig config_;
  Log log_;
  AttemptLimiter limiter_;
};

}  // namespace deskwave::accounts
