#pragma once

#include <string>

namespace deskwave::ui {

// The three screens of the sign-in form.
enum class AuthScreen { signIn, create, reset };

// What the form holds.
struct AuthForm {
  AuthScreen screen = AuthScreen::signIn;
  std::string email;
  std::string password;
  std::string confirmPw;
  std::string code;
};

// The account state's flags that the form depends on.
struct AuthFlags {
  bool isBusy = false;
  bool awaitingCode = false;
  bool emailVerified = false;
  bool awaitingResetCode = false;
};

// The account operation the form's primary action starts.
enum class SubmitAction { none, confirmEmail, signIn, startVerify, createAccount, startReset, confirmReset };

// A new password may be sent: every password rule is met and the
// confirmation equals it.
bool newPasswordAcceptable(const std::string& password, const std::string& confirmation);

// Chooses by the state, in order: the sign-up code while one is awaited, then
// by screen. A new password is sent only when acceptable (and, for a reset,
// with a code); nothing is started while a flow is still running.
SubmitAction decideSubmit(const AuthForm& form, const AuthFlags& flags);

}  // namespace deskwave::ui
