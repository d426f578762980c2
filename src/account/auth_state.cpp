#include "account/auth_state.h"

#include <utility>

#include "account/account_rules.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace deskwave {
namespace {

constexpr const char* kEnterValidEmail = "Enter a valid email.";
constexpr const char* kAlreadyHasAccount = "That email already has an account — sign in instead.";
constexpr const char* kVerifyFirst = "Verify your email first.";
constexpr const char* kEnterEmailAndPassword = "Enter your email and password.";
constexpr const char* kEnterEmail = "Enter your email.";
constexpr const char* kStartResetAgain = "Start the reset again.";

void finish(const AuthState::Done& done) {
  if (done) done();
}

bool looksLikeAddress(const std::string& email) { return email.find('@') != std::string::npos; }

bool sameAddress(const std::string& a, const std::string& b) { return lowercased(a) == lowercased(b); }

// A completion for the client that continues the flow on `self` while it
// exists; when it is gone the flow ends there and only `done` runs.
template <class Step>
auto whileAlive(std::weak_ptr<AuthState> weak, AuthState::Done done, Step step) {
  return [weak = std::move(weak), done = std::move(done), step = std::move(step)](auto result) mutable {
    if (auto self = weak.lock())
      step(*self, std::move(result), std::move(done));
    else
      finish(done);
  };
}

// The sign-up whose code was requested before, as stored.
struct StoredSignup {
  std::string email;
  std::string user;
  std::string temp;
};

}  // namespace

std::shared_ptr<AuthState> AuthState::create(std::shared_ptr<Executor> main, std::shared_ptr<SettingsStore> settings,
                                             std::shared_ptr<SecretStore> secrets, std::shared_ptr<CognitoAPI> api) {
  return std::shared_ptr<AuthState>(new AuthState(std::move(main), std::move(settings), std::move(secrets), std::move(api)));
}

AuthState::AuthState(std::shared_ptr<Executor> main, std::shared_ptr<SettingsStore> settings,
                     std::shared_ptr<SecretStore> secrets, std::shared_ptr<CognitoAPI> api)
    : main_(std::move(main)), settings_(std::move(settings)), secrets_(std::move(secrets)), api_(std::move(api)) {
  username.set(settings_->getString(userKey));
  if (!settings_->contains(subKey)) {
    // Sessions stored before the `sub` was recorded: take it from the id token.
    if (auto token = secrets_->get(idTokenKey)) {
      if (auto sub = jwtSub(*token)) {
        settings_->setString(subKey, *sub);
        settings_->flush();
      }
    }
  }
}

void AuthState::startVerify(const std::string& email, Done done) {
  error.set(std::nullopt);
  const auto address = normalizeEmail(email);
  if (!looksLikeAddress(address)) {
    error.set(kEnterValidEmail);
    return finish(done);
  }
  awaitingCode.set(true);
  isBusy.set(true);

  const StoredSignup stored{settings_->getString(pEmailKey).value_or(""), settings_->getString(pUserKey).value_or(""),
                            settings_->getString(pTempKey).value_or("")};
  const bool resumable = sameAddress(stored.email, address) && !stored.user.empty() && !stored.temp.empty();
  const auto user = "u-" + lowercased(newUuid());
  const auto temp = randomTempPassword();

  api_->signUp(user, address, temp, main_,
               whileAlive(weak_from_this(), std::move(done),
                          [address, user, temp, stored, resumable](AuthState& self, std::optional<CognitoError> failure,
                                                                   Done done) {
                            if (!failure) {
                              self.pendingEmail_ = address;
                              self.pendingCognitoUser_ = user;
                              self.tempPassword_ = temp;
                              self.savePending();
                              self.isBusy.set(false);
                              return finish(done);
                            }
                            const bool exists = failure->typeContains("AliasExistsException") ||
                                                failure->typeContains("UsernameExistsException");
                            if (exists && resumable) {
                              // The address belongs to our own unfinished sign-up: mail its code again.
                              self.pendingEmail_ = address;
                              self.pendingCognitoUser_ = stored.user;
                              self.tempPassword_ = stored.temp;
                              self.api_->resend(stored.user, self.main_,
                                                whileAlive(self.weak_from_this(), std::move(done),
                                                           [](AuthState& self, std::optional<CognitoError> failure,
                                                              Done done) {
                                                             if (failure) {
                                                               self.awaitingCode.set(false);
                                                               self.error.set(failure->text);
                                                             }
                                                             self.isBusy.set(false);
                                                             finish(done);
                                                           }));
                              return;
                            }
                            self.awaitingCode.set(false);
                            self.error.set(exists ? std::string(kAlreadyHasAccount) : failure->text);
                            self.isBusy.set(false);
                            finish(done);
                          }));
}

void AuthState::confirmEmail(const std::string& code, Done done) {
  error.set(std::nullopt);
  isBusy.set(true);
  api_->confirm(pendingCognitoUser_, code, main_,
                whileAlive(weak_from_this(), std::move(done),
                           [](AuthState& self, std::optional<CognitoError> failure, Done done) {
                             // NotAuthorized here means the address is confirmed already.
                             if (!failure || failure->typeContains("NotAuthorizedException")) {
                               self.emailVerified.set(true);
                               self.awaitingCode.set(false);
                             } else {
                               self.error.set(failure->text);
                             }
                             self.isBusy.set(false);
                             finish(done);
                           }));
}

void AuthState::createAccount(const std::string& password, Done done) {
  error.set(std::nullopt);
  if (!emailVerified.get()) {
    error.set(kVerifyFirst);
    return finish(done);
  }
  isBusy.set(true);
  // Sign in as the hidden user, swap the temporary password for the chosen
  // one, then sign in by address with it. The access token is used only here.
  const auto email = pendingEmail_;
  const auto user = pendingCognitoUser_;
  const auto temp = tempPassword_;
  api_->signIn(
      user, temp, main_,
      whileAlive(weak_from_this(), std::move(done),
                 [email, temp, password](AuthState& self, std::variant<CognitoTokens, CognitoError> first, Done done) {
                   if (auto* e = std::get_if<CognitoError>(&first)) return self.fail(*e, std::move(done));
                   self.api_->changePassword(
                       std::get<CognitoTokens>(first).accessToken, temp, password, self.main_,
                       whileAlive(self.weak_from_this(), std::move(done),
                                  [email, password](AuthState& self, std::optional<CognitoError> failure, Done done) {
                                    if (failure) return self.fail(*failure, std::move(done));
                                    self.api_->signIn(
                                        email, password, self.main_,
                                        whileAlive(self.weak_from_this(), std::move(done),
                                                   [email](AuthState& self,
                                                           std::variant<CognitoTokens, CognitoError> result,
                                                           Done done) {
                                                     self.finishSignIn(email, std::move(result), std::move(done));
                                                   }));
                                  }));
                 }));
}

void AuthState::signIn(const std::string& email, const std::string& password, Done done) {
  error.set(std::nullopt);
  const auto address = normalizeEmail(email);
  if (!looksLikeAddress(address) || password.empty()) {
    error.set(kEnterEmailAndPassword);
    return finish(done);
  }
  isBusy.set(true);
  api_->signIn(address, password, main_,
               whileAlive(weak_from_this(), std::move(done),
                          [address](AuthState& self, std::variant<CognitoTokens, CognitoError> result, Done done) {
                            self.finishSignIn(address, std::move(result), std::move(done));
                          }));
}

void AuthState::startReset(const std::string& email, Done done) {
  error.set(std::nullopt);
  const auto address = normalizeEmail(email);
  if (!looksLikeAddress(address)) {
    error.set(kEnterEmail);
    return finish(done);
  }
  isBusy.set(true);
  resetEmail_ = address;
  api_->forgotPassword(address, main_,
                       whileAlive(weak_from_this(), std::move(done),
                                  [](AuthState& self, std::optional<CognitoError> failure, Done done) {
                                    if (failure)
                                      self.error.set(failure->text);
                                    else
                                      self.awaitingResetCode.set(true);
                                    self.isBusy.set(false);
                                    finish(done);
                                  }));
}

void AuthState::confirmReset(const std::string& code, const std::string& newPassword, Done done) {
  error.set(std::nullopt);
  if (resetEmail_.empty()) {
    error.set(kStartResetAgain);
    return finish(done);
  }
  isBusy.set(true);
  const auto email = resetEmail_;
  api_->confirmForgotPassword(
      email, code, newPassword, main_,
      whileAlive(weak_from_this(), std::move(done),
                 [email, newPassword](AuthState& self, std::optional<CognitoError> failure, Done done) {
                   if (failure) return self.fail(*failure, std::move(done));
                   self.api_->signIn(email, newPassword, self.main_,
                                     whileAlive(self.weak_from_this(), std::move(done),
                                                [email](AuthState& self, std::variant<CognitoTokens, CognitoError> result,
                                                        Done done) {
                                                  self.finishSignIn(email, std::move(result), std::move(done));
                                                }));
                 }));
}

void AuthState::resendResetCode(Done done) {
  if (resetEmail_.empty()) return finish(done);
  api_->forgotPassword(resetEmail_, main_,
                       whileAlive(weak_from_this(), std::move(done),
                                  [](AuthState& self, std::optional<CognitoError> failure, Done done) {
                                    if (failure) self.error.set(failure->text);
                                    finish(done);
                                  }));
}

void AuthState::signOut() {
  username.set(std::nullopt);
  awaitingCode.set(false);
  emailVerified.set(false);
  error.set(std::nullopt);
  clearPending();
  settings_->remove(userKey);
  settings_->flush();
  secrets_->remove(idTokenKey);
  secrets_->remove(refreshKey);
}

void AuthState::resetCreate() {
  awaitingCode.set(false);
  emailVerified.set(false);
  error.set(std::nullopt);
}

void AuthState::savePending() {
  settings_->setString(pEmailKey, pendingEmail_);
  settings_->setString(pUserKey, pendingCognitoUser_);
  settings_->setString(pTempKey, tempPassword_);
  settings_->flush();
}

void AuthState::clearPending() {
  pendingEmail_.clear();
  pendingCognitoUser_.clear();
  tempPassword_.clear();
  settings_->remove(pEmailKey);
  settings_->remove(pUserKey);
  settings_->remove(pTempKey);
  settings_->flush();
}

void AuthState::fail(const CognitoError& e, Done done) {
  error.set(e.text);
  isBusy.set(false);
  finish(done);
}

void AuthState::finishSignIn(const std::string& user, std::variant<CognitoTokens, CognitoError> result, Done done) {
  if (auto* e = std::get_if<CognitoError>(&result)) return fail(*e, std::move(done));
  finishLogin(user, std::get<CognitoTokens>(result));
  isBusy.set(false);
  finish(done);
}

void AuthState::finishLogin(const std::string& user, const CognitoTokens& tokens) {
  const auto owner = settings_->getString(ownerKey);
  clearPending();
  settings_->setString(userKey, user);
  settings_->setString(lastEmailKey, user);
  if (auto sub = jwtSub(tokens.idToken)) settings_->setString(subKey, *sub);
  secrets_->set(tokens.idToken, idTokenKey);
  if (!tokens.refreshToken.empty()) secrets_->set(tokens.refreshToken, refreshKey);
  const bool sameOwner = owner && sameAddress(*owner, user);
  if (!sameOwner) settings_->setString(ownerKey, user);
  settings_->flush();
  if (!sameOwner && onAccountChange) onAccountChange();
  // Observers of `username` act at once (the set-up window starts the bridge,
  // which pairs with the stored `sub`), so the new account is announced only
  // once its `sub` is stored and the settings of another account are wiped.
  username.set(user);
}

}  // namespace deskwave
