#include "account_service.h"

#include <openssl/crypto.h>

#include <cstring>
#include <map>

#include "password_hash.h"
#include "platform/base64.h"
#include "platform/crypto.h"
#include "platform/uuid.h"

namespace deskwave::accounts {
namespace {

using Json = nlohmann::json;

ServiceReply error(std::string type, std::string message, int status = 400) {
  return {status, Json{{"__type", std::move(type)}, {"message", std::move(message)}}};
}

// Thrown while reading a request's fields; carries the error reply.
struct RequestError {
  ServiceReply reply;
};

const std::string kIncorrectPassword = "Incorrect username or password.";
const std::string kNoSuchUser = "Username/client id combination not found.";
const std::string kRequestCodeAgain = "Invalid code provided, please request a code again.";
const std::string kAttemptLimit = "Attempt limit exceeded, please try after some time.";

std::string lowerFirst(std::string_view key) {
  std::string out(key);
  if (!out.empty()) out[0] = foldCase(out.substr(0, 1))[0];
  return out;
}

// Six decimal digits, uniform.
std::string newCode() {
  constexpr std::uint32_t kLimit = 4'294'000'000u;  // largest multiple of 10^6 below 2^32
  while (true) {
    const auto bytes = randomBytes(4);
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data(), sizeof value);
    if (value >= kLimit) continue;
    auto text = std::to_string(value % 1'000'000u);
    return std::string(6 - text.size(), '0') + text;
  }
}

std::string newSub() { return foldCase(newUuid()); }

// "j***@e***", as the service shows where a code went.
std::string maskedEmail(const std::string& email) {
  const auto at = email.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= email.size()) return "***";
  return email.substr(0, 1) + "***@" + email.substr(at + 1, 1) + "***";
}

bool validEmail(const std::string& email) {
  const auto at = email.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= email.size() || email.size() > 254) return false;
  if (email.find('@', at + 1) != std::string::npos) return false;
  for (unsigned char c : email)
    if (c <= 0x20 || c == 0x7f) return false;
  return true;
}

bool equalConstantTime(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string forLog(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 200)) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  return out;
}

std::string ServiceReply::errorType() const {
  if (status == 200 || !body.is_object() || !body.contains("__type") || !body["__type"].is_string()) return {};
  return body["__type"].get<std::string>();
}

// A parsed request body with typed access to its fields.
struct AccountService::Request {
  Json body;
  std::string clientId;

  // A present key of the wrong type fails as the service does: the body cannot be deserialized.
  const Json* field(std::string_view key, Json::value_t type) const {
    const auto it = body.find(key);
    if (it == body.end() || it->is_null()) return nullptr;
    if (it->type() != type)
      throw RequestError{error("SerializationException", "Value of '" + std::string(key) + "' has the wrong type.")};
    return &*it;
  }
  std::string string(std::string_view key) const {
    const auto* value = field(key, Json::value_t::string);
    if (!value)
      throw RequestError{error("InvalidParameterException", "1 validation error detected: Value null at '" +
                                                                lowerFirst(key) +
                                                                "' failed to satisfy constraint: Member must not be null")};
    auto text = value->get<std::string>();
    if (text.empty())
      throw RequestError{error("InvalidParameterException",
                               "1 validation error detected: Value at '" + lowerFirst(key) +
                                   "' failed to satisfy constraint: Member must have length greater than or equal to 1")};
    return text;
  }
};

AccountService::AccountService(AccountStore& store, TokenSigner signer, std::shared_ptr<Clock> clock,
                               ServiceConfig config, Log log)
    : store_(store), signer_(std::move(signer)), clock_(std::move(clock)), config_(std::move(config)),
      log_(std::move(log)), limiter_(config_.maxFailures, config_.failureWindow) {}

ServiceReply AccountService::handle(std::string_view action, std::string_view body) {
  using Handler = ServiceReply (AccountService::*)(const Request&);
  static const std::map<std::string_view, std::pair<Handler, bool>> handlers = {
      // action → handler, whether the request names the app client
      {"SignUp", {&AccountService::signUp, true}},
      {"ConfirmSignUp", {&AccountService::confirmSignUp, true}},
      {"ResendConfirmationCode", {&AccountService::resendConfirmationCode, true}},
      {"InitiateAuth", {&AccountService::initiateAuth, true}},
      {"ChangePassword", {&AccountService::changePassword, false}},
      {"ForgotPassword", {&AccountService::forgotPassword, true}},
      {"ConfirmForgotPassword", {&AccountService::confirmForgotPassword, true}},
  };
  const auto it = handlers.find(action);
  if (it == handlers.end()) return error("UnknownOperationException", "Unknown operation " + forLog(action) + ".");

  Request request{Json::parse(body, nullptr, false), {}};
  if (request.body.is_discarded() || !request.body.is_object())
    return error("SerializationException", "The request body is not a JSON object.");
  try {
    if (it->second.second) {
      request.clientId = request.string("ClientId");
      if (!config_.clientId.empty() && request.clientId != config_.clientId)
        return error("ResourceNotFoundException", "User pool client " + request.clientId + " does not exist.");
    }
    return (this->*(it->second.first))(request);
  } catch (const RequestError& e) {
    return e.reply;
  } catch (const std::exception& e) {
    // A database failure (StoreError) or anything else unforeseen: this request fails, the service goes on.
    if (log_) log_("internal error in " + std::string(action) + ": " + e.what());
    return error("InternalErrorException", "An internal error occurred.", 500);
  }
}

std::int64_t AccountService::unixNow() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_->now().time_since_epoch()).count();
}

std::optional<UserRecord> AccountService::resolve(const std::string& usernameOrEmail) const {
  // User names never hold "@", so a name with one can only be an e-mail alias.
  if (usernameOrEmail.find('@') != std::string::npos) return store_.findConfirmedByEmail(usernameOrEmail);
  return store_.findByUsername(usernameOrEmail);
}

Json AccountService::issueCode(const UserRecord& user, CodePurpose purpose) {
  const bool reset = purpose == CodePurpose::resetPassword;
  const auto lifetime = reset ? config_.resetCodeLifetime : config_.signUpCodeLifetime;
  const PendingCode code{newCode(), unixNow() + static_cast<std::int64_t>(lifetime.count())};
  store_.setCode(user.sub, purpose, code);
  if (log_) log_(std::string(reset ? "reset code" : "code") + " for " + user.username + " (" + user.email + "): " + code.code);
  return Json{{"Destination", maskedEmail(user.email)}, {"DeliveryMedium", "EMAIL"}, {"AttributeName", "email"}};
}

std::optional<ServiceReply> AccountService::checkCode(const UserRecord& user, CodePurpose purpose,
                                                      const std::string& code) {
  const auto pending = store_.code(user.sub, purpose);
  if (!pending) return error("ExpiredCodeException", kRequestCodeAgain);
  if (!equalConstantTime(pending->code, code)) {
    limiter_.recordFailure(user.sub, clock_->monotonic());
    return error("CodeMismatchException", "Invalid verification code provided, please try again.");
  }
  if (unixNow() >= pending->expiresAt) return error("ExpiredCodeException", kRequestCodeAgain);
  return std::nullopt;
}

Json AccountService::tokensFor(const UserRecord& user, const std::string& clientId) {
  const auto now = unixNow();
  const auto lifetime = static_cast<std::int64_t>(config_.tokenLifetime.count());
  Json common = {{"sub", user.sub},          {"email", user.email}, {"email_verified", true},
                 {"cognito:username", user.username}, {"iss", config_.issuer}, {"auth_time", now},
                 {"iat", now},                {"exp", now + lifetime}};
  Json id = common;
  id["token_use"] = "id";
  id["aud"] = clientId;
  id["jti"] = newSub();
  Json access = common;
  access["token_use"] = "access";
  access["client_id"] = clientId;
  access["username"] = user.username;
  access["scope"] = "aws.cognito.signin.user.admin";
  access["jti"] = newSub();
  return Json{{"IdToken", signer_.sign(id)},
              {"AccessToken", signer_.sign(access)},
              {"RefreshToken", base64UrlEncode(randomBytes(48))},
              {"ExpiresIn", lifetime},
              {"TokenType", "Bearer"}};
}

ServiceReply AccountService::signUp(const Request& request) {
  const auto username = request.string("Username");
  const auto password = request.string("Password");
  std::string email;
  if (const auto* attributes = request.field("UserAttributes", Json::value_t::array)) {
    for (const auto& attribute : *attributes) {
      if (!attribute.is_object() || !attribute.contains("Name") || !attribute["Name"].is_string() ||
          !attribute.contains("Value") || !attribute["Value"].is_string())
        return error("InvalidParameterException", "Each user attribute needs a Name and a Value.");
      if (attribute["Name"] == "email") email = attribute["Value"].get<std::string>();
    }
  }
  if (email.empty())
    return error("InvalidParameterException", "Attributes did not conform to the schema: email: The attribute is required");
  if (!validEmail(email)) return error("InvalidParameterException", "Invalid email address format.");
  if (username.find('@') != std::string::npos)
    return error("InvalidParameterException",
                 "Username cannot be of email format, since user pool is configured for email alias.");
  bool printable = username.size() <= 128;
  for (unsigned char c : username) printable = printable && c > 0x20 && c != 0x7f;
  if (!printable)
    return error("InvalidParameterException",
                 "1 validation error detected: Value at 'username' failed to satisfy constraint: Member must satisfy "
                 "regular expression pattern: [\\p{L}\\p{M}\\p{S}\\p{N}\\p{P}]+");
  if (const auto broken = passwordPolicyViolation(password); !broken.empty())
    return error("InvalidPasswordException", broken);
  if (store_.findByUsername(username)) return error("UsernameExistsException", "User already exists");
  if (store_.findConfirmedByEmail(email))
    return error("AliasExistsException", "An account with the given email already exists.");

  UserRecord user{newSub(), username, email, false, hashPassword(password, config_.passwordIterations), unixNow()};
  if (!store_.insert(user)) return error("UsernameExistsException", "User already exists");
  return {200, Json{{"UserConfirmed", false}, {"UserSub", user.sub},
                    {"CodeDeliveryDetails", issueCode(user, CodePurpose::confirmSignUp)}}};
}

ServiceReply AccountService::confirmSignUp(const Request& request) {
  const auto code = request.string("ConfirmationCode");
  const auto user = resolve(request.string("Username"));
  if (!user) return error("UserNotFoundException", kNoSuchUser);
  if (user->confirmed) return error("NotAuthorizedException", "User cannot be confirmed. Current status is CONFIRMED");
  if (limiter_.locked(user->sub, clock_->monotonic())) return error("LimitExceededException", kAttemptLimit);
  if (auto refused = checkCode(*user, CodePurpose::confirmSignUp, code)) return *refused;
  // Another user may have confirmed the same address since this one signed up.
  if (!store_.markConfirmed(user->sub))
    return error("AliasExistsException", "An account with the given email already exists.");
  store_.clearCode(user->sub, CodePurpose::confirmSignUp);
  limiter_.reset(user->sub);
  return {200, Json::object()};
}

ServiceReply AccountService::resendConfirmationCode(const Request& request) {
  const auto user = resolve(request.string("Username"));
  if (!user) return error("UserNotFoundException", kNoSuchUser);
  // A confirmed user gets a code as well; confirming it then answers NotAuthorizedException.
  return {200, Json{{"CodeDeliveryDetails", issueCode(*user, CodePurpose::confirmSignUp)}}};
}

ServiceReply AccountService::initiateAuth(const Request& request) {
  if (request.string("AuthFlow") != "USER_PASSWORD_AUTH")
    return error("InvalidParameterException", "Initiate Auth method not supported.");
  const auto* parameters = request.field("AuthParameters", Json::value_t::object);
  const auto parameter = [&](const char* key) -> std::string {
    if (!parameters || !parameters->contains(key) || !(*parameters)[key].is_string() ||
        (*parameters)[key].get<std::string>().empty())
      throw RequestError{error("InvalidParameterException", std::string("Missing required parameter ") + key)};
    return (*parameters)[key].get<std::string>();
  };
  const auto username = parameter("USERNAME");
  const auto password = parameter("PASSWORD");

  const auto user = resolve(username);
  if (!user) return error("NotAuthorizedException", kIncorrectPassword);
  if (limiter_.locked(user->sub, clock_->monotonic())) return error("LimitExceededException", kAttemptLimit);
  if (!verifyPassword(password, user->passwordHash)) {
    limiter_.recordFailure(user->sub, clock_->monotonic());
    return error("NotAuthorizedException", kIncorrectPassword);
  }
  if (!user->confirmed) return error("UserNotConfirmedException", "User is not confirmed.");
  limiter_.reset(user->sub);
  const auto clientId = config_.clientId.empty() ? request.clientId : config_.clientId;
  return {200, Json{{"AuthenticationResult", tokensFor(*user, clientId)}, {"ChallengeParameters", Json::object()}}};
}

ServiceReply AccountService::changePassword(const Request& request) {
  const auto token = request.string("AccessToken");
  const auto previous = request.string("PreviousPassword");
  const auto proposed = request.string("ProposedPassword");

  const auto claims = signer_.verify(token);
  if (!claims || !claims->contains("token_use") || (*claims)["token_use"] != "access" || !claims->contains("sub") ||
      !(*claims)["sub"].is_string() || !claims->contains("exp") || !(*claims)["exp"].is_number())
    return error("NotAuthorizedException", "Invalid Access Token");
  if ((*claims)["exp"].get<double>() <= static_cast<double>(unixNow()))
    return error("NotAuthorizedException", "Access Token has expired");
  const auto user = store_.findBySub((*claims)["sub"].get<std::string>());
  if (!user) return error("NotAuthorizedException", "Invalid Access Token");

  if (limiter_.locked(user->sub, clock_->monotonic())) return error("LimitExceededException", kAttemptLimit);
  if (const auto broken = passwordPolicyViolation(proposed); !broken.empty())
    return error("InvalidPasswordException", broken);
  if (!verifyPassword(previous, user->passwordHash)) {
    limiter_.recordFailure(user->sub, clock_->monotonic());
    return error("NotAuthorizedException", kIncorrectPassword);
  }
  store_.setPasswordHash(user->sub, hashPassword(proposed, config_.passwordIterations));
  limiter_.reset(user->sub);
  return {200, Json::object()};
}

ServiceReply AccountService::forgotPassword(const Request& request) {
  const auto user = resolve(request.string("Username"));
  if (!user) return error("UserNotFoundException", kNoSuchUser);
  // The code goes to the e-mail address, which only counts once it is confirmed.
  if (!user->confirmed)
    return error("InvalidParameterException",
                 "Cannot reset password for the user as there is no registered/verified email or phone_number");
  return {200, Json{{"CodeDeliveryDetails", issueCode(*user, CodePurpose::resetPassword)}}};
}

ServiceReply AccountService::confirmForgotPassword(const Request& request) {
  const auto code = request.string("ConfirmationCode");
  const auto password = request.string("Password");
  const auto user = resolve(request.string("Username"));
  if (!user) return error("UserNotFoundException", kNoSuchUser);
  if (limiter_.locked(user->sub, clock_->monotonic())) return error("LimitExceededException", kAttemptLimit);
  if (const auto broken = passwordPolicyViolation(password); !broken.empty())
    return error("InvalidPasswordException", broken);
  if (auto refused = checkCode(*user, CodePurpose::resetPassword, code)) return *refused;
  store_.setPasswordHash(user->sub, hashPassword(password, config_.passwordIterations));
  store_.clearCode(user->sub, CodePurpose::resetPassword);
  limiter_.reset(user->sub);
  return {200, Json::object()};
}

}  // namespace deskwave::accounts
