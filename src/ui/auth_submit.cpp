#include "ui/auth_submit.h"

#include <algorithm>

#include "account/account_rules.h"

namespace deskwave::ui {

bool newPasswordAcceptable(const std::string& password, const std::string& confirmation) {
  const auto rules = passwordRules(password);
  const bool allMet = std::all_of(rules.begin(), rules.end(), [](const PasswordRule& r) { return r.ok; });
  return allMet && confirmation == password;
}

SubmitAction decideSubmit(const AuthForm& form, const AuthFlags& flags) {
  // The button is disabled while busy; the Return key must not start a second flow.
  if (flags.isBusy) return SubmitAction::none;
  if (flags.awaitingCode) return SubmitAction::confirmEmail;
  switch (form.screen) {
    case AuthScreen::signIn:
      return SubmitAction::signIn;
    case AuthScreen::create:
      if (!flags.emailVerified) return SubmitAction::startVerify;
      return newPasswordAcceptable(form.password, form.confirmPw) ? SubmitAction::createAccount : SubmitAction::none;
    case AuthScreen::reset:
      if (!flags.awaitingResetCode) return SubmitAction::startReset;
      return newPasswordAcceptable(form.password, form.confirmPw) && !form.code.empty() ? SubmitAction::confirmReset
                                                                                        : SubmitAction::none;
  }
  return SubmitAction::none;
}

}  // namespace deskwave::ui
