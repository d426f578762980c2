#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "account/cognito_api.h"
#include "platform/executor.h"
#include "platform/observable.h"
#include "platform/secret_store.h"
#include "platform/settings_store.h"

namespace deskwave {

// The user's account session, and every account flow of the sign-in window:
// verifying an address before the account exists, creating the account,
// signing in, resetting a forgotten password and signing out.
//
// Sign-up is e-mail first: a hidden user with a random name and a random
// temporary password is registered, the mailed code confirms the address, and
// only then does the user choose the password that replaces the temporary one.
// An unfinished sign-up is kept in the settings so that it can be resumed.
//
// Main thread only. Flows return at once and report through the observable
// fields; each calls its `done` (when given) once it has finished.
class AuthState : public std::enable_shared_from_this<AuthState> {
 public:
  // Settings keys; the two token keys name items of the secret store.
  static constexpr const char* userKey = "deskwave.auth.username";
  static constexpr const char* idTokenKey = "deskwave.auth.idToken";
  static constexpr const char* refreshKey = "deskwave.auth.refreshToken";
  static constexpr const char* ownerKey = "deskwave.settingsOwner";
  static constexpr const char* lastEmailKey = "deskwave.lastEmail";
  // The account's `sub` claim, the pairing secret.
  static constexpr const char* subKey = "deskwave.auth.sub";
  static constexpr const char* pEmailKey = "deskwave.pendingSignup.email";
  static constexpr const char* pUserKey = "deskwave.pendingSignup.user";
  static constexpr const char* pTempKey = "deskwave.pendingSignup.temp";

  using Done = std::function<void()>;

  // Reads the signed-in address, and records the account's `sub` from the
  // stored id token when it is not recorded yet. `api` completes on `main`.
  static std::shared_ptr<AuthState> create(std::shared_ptr<Executor> main, std::shared_ptr<SettingsStore> settings,
                                           std::shared_ptr<SecretStore> secrets, std::shared_ptr<CognitoAPI> api);

  AuthState(const AuthState&) = delete;
  AuthState& operator=(const AuthState&) = delete;

  // The signed-in (normalized) address; nullopt when signed out.
  Observable<std::optional<std::string>> username;
  // True while a flow waits for the service.
  Observable<bool> isBusy{false};
  // The sentence to show under the form; cleared when a flow starts.
  Observable<std::optional<std::string>> error;
  // Sign-up: the mailed code is expected.
  Observable<bool> awaitingCode{false};
  // Sign-up: the address is confirmed and the password may be chosen.
  Observable<bool> emailVerified{false};
  // Reset: a code has been sent.
  Observable<bool> awaitingResetCode{false};

  // Called when a sign-in establishes an account other than the one that owns
  // the local settings.
  std::function<void()> onAccountChange;

  // Address of the reset under way; empty when none.
  const std::string& resetEmail() const { return resetEmail_; }
  // The sign-up under way: its address, hidden user name and temporary password.
  const std::string& pendingEmail() const { return pendingEmail_; }
  const std::string& pendingCognitoUser() const { return pendingCognitoUser_; }
  const std::string& tempPassword() const { return tempPassword_; }
  // The client the flows use; the window's "Resend code" calls it directly.
  const std::shared_ptr<CognitoAPI>& api() const { return api_; }

  // Registers a hidden user for `email` and asks for the code; resumes the
  // stored sign-up when the service already knows the address.
  void startVerify(const std::string& email, Done done = {});
  // Confirms the sign-up code.
  void confirmEmail(const std::string& code, Done done = {});
  // Replaces the temporary password of the confirmed sign-up and signs in.
  void createAccount(const std::string& password, Done done = {});
  void signIn(const std::string& email, const std::string& password, Done done = {});
  // Asks for a password-reset code for `email`.
  void startReset(const std::string& email, Done done = {});
  // Sets the new password with the reset code and signs in with it.
  void confirmReset(const std::string& code, const std::string& newPassword, Done done = {});
  void resendResetCode(Done done = {});

  // Forgets the session, its tokens and any unfinished sign-up. The settings
  // owner, the last address and the stored `sub` stay.
  void signOut();
  // Back to the start of sign-up; the stored sign-up stays, so starting again
  // with the same address resumes it.
  void resetCreate();

  void savePending();
  void clearPending();

 private:
  AuthState(std::shared_ptr<Executor> main, std::shared_ptr<SettingsStore> settings,
            std::shared_ptr<SecretStore> secrets, std::shared_ptr<CognitoAPI> api);

  void finishLogin(const std::string& user, const CognitoTokens& tokens);
  void finishSignIn(const std::string& user, std::variant<CognitoTokens, CognitoError> result, Done done);
  void fail(const CognitoError& e, Done done);

  std::shared_ptr<Executor> main_;
  std::shared_ptr<SettingsStore> settings_;
  std::shared_ptr<SecretStore> secrets_;
  std::shared_ptr<CognitoAPI> api_;

  std::string resetEmail_;
  std::string pendingEmail_;
  std::string pendingCognitoUser_;
  std::string tempPassword_;
};

}  // namespace deskwave
