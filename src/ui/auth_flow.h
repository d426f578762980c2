#pragma once

// The sign-in form: sign in, create an account (e-mail first, then the
// password), reset a forgotten password, and the sign-up code pop-up.
// Qt inside: for the interface's sources and tests only.

#include <QFrame>
#include <QLineEdit>
#include <QToolButton>
#include <memory>
#include <vector>

#include "account/auth_state.h"
#include "ui/auth_submit.h"
#include "ui/observer_scope.h"
#include "ui/ui_common.h"

namespace deskwave::ui {

// A text field with a symbol in front and an optional button behind.
class IconField : public QFrame {
 public:
  IconField(std::string_view symbol, const QString& placeholder, QWidget* parent = nullptr);
  QLineEdit* edit() const { return edit_; }

 private:
  QLineEdit* edit_;
};

// A password field: secure by default, with an eye control that shows the text.
class RevealField : public QFrame {
 public:
  explicit RevealField(const QString& placeholder, QWidget* parent = nullptr);
  QLineEdit* edit() const { return edit_; }
  QToolButton* eye() const { return eye_; }
  bool revealed() const { return reveal_; }
  void setRevealed(bool reveal);

 private:
  QLineEdit* edit_;
  QToolButton* eye_;
  bool reveal_ = false;
};

// The five password rules, each with its state symbol.
class RuleList : public QWidget {
 public:
  explicit RuleList(QWidget* parent = nullptr);
  void update(const std::string& password);
  // The symbol of each row, in order ("checkmark.circle.fill", "circle", "xmark.circle.fill").
  QStringList symbols() const;

 private:
  std::vector<std::pair<QLabel*, QLabel*>> rows_;
};

class AuthFlow : public QWidget {
 public:
  explicit AuthFlow(std::shared_ptr<AuthState> auth, QWidget* parent = nullptr);

  AuthScreen screen() const { return form_.screen; }
  const AuthForm& form() const { return form_; }
  void setScreen(AuthScreen screen);
  // The primary action of the form (buttons and the Return key).
  void submit();

  // For tests and screenshots.
  IconField* emailField() const { return email_; }
  RevealField* passwordField() const { return password_; }
  RevealField* confirmField() const { return confirm_; }
  IconField* codeField() const { return code_; }
  BrandButton* primaryButton() const { return primary_; }
  QWidget* codePopup() const { return popup_; }
  QLineEdit* popupCodeEdit() const { return popupCode_; }
  BrandButton* popupConfirmButton() const { return popupConfirm_; }
  RuleList* rules() const { return rules_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void build();
  void buildPopup();
  void refresh();
  void setCode(const QString& code);

  std::shared_ptr<AuthState> auth_;
  AuthForm form_;
  ObserverScope observers_;

  QLabel* title_;
  QLabel* subtitle_;
  QPushButton* back_;
  IconField* email_;
  IconField* code_;
  RevealField* password_;
  RevealField* confirm_;
  RuleList* rules_;
  QLabel* mismatch_;
  BrandButton* primary_;
  QLabel* error_;
  QPushButton* createLink_;
  QPushButton* forgotLink_;
  QPushButton* resendResetLink_;

  QFrame* popup_;
  QLabel* popupAddress_;
  QLineEdit* popupCode_;
  BrandButton* popupConfirm_;
};

}  // namespace deskwave::ui
