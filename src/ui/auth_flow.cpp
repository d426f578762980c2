#include "ui/auth_flow.h"

#include <QHBoxLayout>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "account/account_rules.h"

namespace deskwave::ui {

// ---- IconField ----

IconField::IconField(std::string_view symbol, const QString& placeholder, QWidget* parent) : QFrame(parent) {
  setProperty("role", "field");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(10, 0, 6, 0);
  row->setSpacing(8);
  row->addWidget(symbolLabel(symbol, toQColor(palette::inputIcon), 15, this));
  edit_ = new QLineEdit(this);
  edit_->setPlaceholderText(placeholder);
  row->addWidget(edit_, 1);
}

// ---- RevealField ----

RevealField::RevealField(const QString& placeholder, QWidget* parent) : QFrame(parent) {
  setProperty("role", "field");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(10, 0, 4, 0);
  row->setSpacing(8);
  row->addWidget(symbolLabel("lock", toQColor(palette::inputIcon), 15, this));
  edit_ = new QLineEdit(this);
  edit_->setPlaceholderText(placeholder);
  row->addWidget(edit_, 1);
  eye_ = new QToolButton(this);
  eye_->setCursor(Qt::PointingHandCursor);
  eye_->setIconSize(QSize(15, 15));
  row->addWidget(eye_);
  connect(eye_, &QToolButton::clicked, this, [this] { setRevealed(!reveal_); });
  setRevealed(false);
}

void RevealField::setRevealed(bool reveal) {
  reveal_ = reveal;
  // The same text, shown plainly or hidden.
  edit_->setEchoMode(reveal ? QLineEdit::Normal : QLineEdit::Password);
  const char* symbol = reveal ? "eye.slash" : "eye";
  eye_->setIcon(tintedSymbol(symbol, toQColor(palette::inputIcon), 15));
  eye_->setProperty("symbol", symbol);
  eye_->setToolTip(reveal ? QStringLiteral("Hide password") : QStringLiteral("Show password"));
}

// ---- RuleList ----

RuleList::RuleList(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(4, 0, 0, 0);
  column->setSpacing(3);
  for (const auto& rule : passwordRules("")) {
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    auto* icon = symbolLabel("circle", toQColor(palette::secondary), 13, this);
    auto* label = textLabel(qs(rule.label), "rule", this);
    row->addWidget(icon);
    row->addWidget(label, 1);
    column->addLayout(row);
    rows_.emplace_back(icon, label);
  }
}

void RuleList::update(const std::string& password) {
  const auto rules = passwordRules(password);
  for (std::size_t i = 0; i < rows_.size() && i < rules.size(); ++i) {
    if (password.empty())
      setSymbol(rows_[i].first, "circle", toQColor(palette::secondary), 13);
    else if (rules[i].ok)
      setSymbol(rows_[i].first, "checkmark.circle.fill", toQColor(palette::online), 13);
    else
      setSymbol(rows_[i].first, "xmark.circle.fill", toQColor(palette::danger), 13);
    rows_[i].second->setText(qs(rules[i].label));
  }
}

QStringList RuleList::symbols() const {
  QStringList out;
  for (const auto& [icon, label] : rows_) out << icon->property("symbol").toString();
  return out;
}

// ---- AuthFlow ----

AuthFlow::AuthFlow(std::shared_ptr<AuthState> auth, QWidget* parent) : QWidget(parent), auth_(std::move(auth)) {
  setObjectName("authFlow");
  build();
  buildPopup();
  observers_.observe(auth_->isBusy, [this](bool) { refresh(); });
  observers_.observe(auth_->awaitingCode, [this](bool) { refresh(); });
  observers_.observe(auth_->emailVerified, [this](bool) { refresh(); });
  observers_.observe(auth_->awaitingResetCode, [this](bool) { refresh(); });
  observers_.observe(auth_->error, [this](const std::optional<std::string>&) { refresh(); });
  if (auto last = auth_->pendingEmail(); !last.empty()) email_->edit()->setText(qs(last));
  refresh();
}

void AuthFlow::build() {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);

  back_ = new QPushButton(QStringLiteral("Back"), this);
  back_->setObjectName("backButton");
  back_->setProperty("role", "link");
  back_->setIcon(tintedSymbol("chevron.left", toQColor(palette::online), 14));
  back_->setCursor(Qt::PointingHandCursor);
  auto* backRow = new QHBoxLayout;
  backRow->addWidget(back_);
  backRow->addStretch(1);
  column->addLayout(backRow);

  title_ = textLabel({}, "title", this);
  subtitle_ = textLabel({}, "secondary", this);
  column->addWidget(title_);
  column->addWidget(subtitle_);
  column->addSpacing(4);

  email_ = new IconField("envelope", QStringLiteral("Email"), this);
  email_->setObjectName("emailField");
  email_->edit()->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
  code_ = new IconField("number", QStringLiteral("Code"), this);
  code_->setObjectName("codeField");
  password_ = new RevealField(QStringLiteral("Password"), this);
  password_->setObjectName("passwordField");
  confirm_ = new RevealField(QStringLiteral("Confirm password"), this);
  confirm_->setObjectName("confirmField");
  rules_ = new RuleList(this);
  rules_->setObjectName("passwordRules");
  mismatch_ = textLabel(QStringLiteral("Passwords don't match"), "danger", this);
  mismatch_->setObjectName("mismatchLabel");
  for (QWidget* w : {static_cast<QWidget*>(email_), static_cast<QWidget*>(code_), static_cast<QWidget*>(password_),
                     static_cast<QWidget*>(confirm_), static_cast<QWidget*>(rules_), static_cast<QWidget*>(mismatch_)})
    column->addWidget(w);

  primary_ = new BrandButton(QStringLiteral("Sign in"), this);
  primary_->setObjectName("primaryButton");
  column->addSpacing(4);
  column->addWidget(primary_);
  error_ = textLabel({}, "danger", this);
  error_->setObjectName("errorLabel");
  column->addWidget(error_);

  createLink_ = linkButton(QStringLiteral("Create account"), this);
  createLink_->setObjectName("createAccountLink");
  forgotLink_ = linkButton(QStringLiteral("Forgot password"), this);
  forgotLink_->setObjectName("forgotPasswordLink");
  resendResetLink_ = linkButton(QStringLiteral("Resend code"), this);
  resendResetLink_->setObjectName("resendResetLink");
  auto* links = new QHBoxLayout;
  links->addWidget(createLink_);
  links->addStretch(1);
  links->addWidget(forgotLink_);
  links->addWidget(resendResetLink_);
  column->addLayout(links);
  column->addStretch(1);

  connect(email_->edit(), &QLineEdit::textChanged, this, [this](const QString& t) {
    form_.email = toStd(t);
    refresh();
  });
  connect(password_->edit(), &QLineEdit::textChanged, this, [this](const QString& t) {
    form_.password = toStd(t);
    refresh();
  });
  connect(confirm_->edit(), &QLineEdit::textChanged, this, [this](const QString& t) {
    form_.confirmPw = toStd(t);
    refresh();
  });
  connect(code_->edit(), &QLineEdit::textChanged, this, [this](const QString& t) { setCode(t); });
  for (QLineEdit* e : {email_->edit(), password_->edit(), confirm_->edit(), code_->edit()})
    connect(e, &QLineEdit::returnPressed, this, [this] { submit(); });
  connect(primary_, &QPushButton::clicked, this, [this] { submit(); });

  connect(back_, &QPushButton::clicked, this, [this] {
    if (form_.screen == AuthScreen::create) auth_->resetCreate();
    setScreen(AuthScreen::signIn);
  });
  connect(createLink_, &QPushButton::clicked, this, [this] {
    auth_->resetCreate();
    password_->edit()->clear();
    confirm_->edit()->clear();
    setScreen(AuthScreen::create);
  });
  connect(forgotLink_, &QPushButton::clicked, this, [this] { setScreen(AuthScreen::reset); });
  connect(resendResetLink_, &QPushButton::clicked, this, [this] { auth_->resendResetCode(); });
}

void AuthFlow::buildPopup() {
  popup_ = new QFrame(this);
  popup_->setObjectName("codePopup");
  popup_->setProperty("role", "scrim");
  auto* outer = new QVBoxLayout(popup_);
  outer->setContentsMargins(24, 24, 24, 24);
  auto* card = new QFrame(popup_);
  card->setProperty("role", "card");
  outer->addStretch(1);
  outer->addWidget(card);
  outer->addStretch(1);

  auto* column = new QVBoxLayout(card);
  column->setContentsMargins(20, 12, 12, 20);
  column->setSpacing(10);
  auto* closeRow = new QHBoxLayout;
  closeRow->addStretch(1);
  auto* close = new QToolButton(card);
  close->setObjectName("popupClose");
  close->setIcon(tintedSymbol("xmark.circle.fill", toQColor(palette::secondary), 18));
  close->setIconSize(QSize(18, 18));
  close->setToolTip(QStringLiteral("Close"));
  close->setCursor(Qt::PointingHandCursor);
  closeRow->addWidget(close);
  column->addLayout(closeRow);

  auto* heading = textLabel(QStringLiteral("Enter the 6-digit code"), "title", card);
  popupAddress_ = textLabel({}, "secondary", card);
  popupAddress_->setObjectName("popupAddress");
  auto* codeField = new IconField("number", QStringLiteral("Code"), card);
  popupCode_ = codeField->edit();
  popupCode_->setObjectName("popupCode");
  popupConfirm_ = new BrandButton(QStringLiteral("Confirm"), card);
  popupConfirm_->setObjectName("popupConfirm");
  auto* resend = linkButton(QStringLiteral("Resend code"), card);
  resend->setObjectName("popupResend");
  column->addWidget(heading);
  column->addWidget(popupAddress_);
  column->addWidget(codeField);
  column->addWidget(popupConfirm_);
  auto* resendRow = new QHBoxLayout;
  resendRow->addStretch(1);
  resendRow->addWidget(resend);
  resendRow->addStretch(1);
  column->addLayout(resendRow);

  connect(popupCode_, &QLineEdit::textChanged, this, [this](const QString& t) { setCode(t); });
  connect(popupCode_, &QLineEdit::returnPressed, this, [this] { submit(); });
  connect(popupConfirm_, &QPushButton::clicked, this, [this] { submit(); });
  connect(resend, &QPushButton::clicked, this, [this] {
    const auto& pending = auth_->pendingEmail();
    auth_->startVerify(pending.empty() ? form_.email : pending);
  });
  connect(close, &QToolButton::clicked, this, [this] { auth_->awaitingCode.set(false); });
  popup_->hide();
}

void AuthFlow::setCode(const QString& code) {
  form_.code = toStd(code);
  // The reset screen and the pop-up edit the same code.
  for (QLineEdit* e : {code_->edit(), popupCode_}) {
    if (e->text() == code) continue;
    const QSignalBlocker block(e);
    e->setText(code);
  }
  refresh();
}

void AuthFlow::setScreen(AuthScreen screen) {
  form_.screen = screen;
  refresh();
}

void AuthFlow::submit() {
  const AuthFlags flags{auth_->isBusy.get(), auth_->awaitingCode.get(), auth_->emailVerified.get(),
                        auth_->awaitingResetCode.get()};
  switch (decideSubmit(form_, flags)) {
    case SubmitAction::none:
      return;
    case SubmitAction::confirmEmail:
      return auth_->confirmEmail(form_.code);
    case SubmitAction::signIn:
      return auth_->signIn(form_.email, form_.password);
    case SubmitAction::startVerify:
      return auth_->startVerify(form_.email);
    case SubmitAction::createAccount:
      return auth_->createAccount(form_.password);
    case SubmitAction::startReset:
      return auth_->startReset(form_.email);
    case SubmitAction::confirmReset:
      return auth_->confirmReset(form_.code, form_.password);
  }
}

void AuthFlow::refresh() {
  const bool busy = auth_->isBusy.get();
  const bool verified = auth_->emailVerified.get();
  const bool resetCodeSent = auth_->awaitingResetCode.get();
  const auto screen = form_.screen;
  const bool choosingPassword =
      (screen == AuthScreen::create && verified) || (screen == AuthScreen::reset && resetCodeSent);

  back_->setVisible(screen != AuthScreen::signIn);
  switch (screen) {
    case AuthScreen::signIn:
      title_->setText(QStringLiteral("Sign in"));
      subtitle_->setText(QStringLiteral("Use your Deskwave account to connect your phone."));
      primary_->setTitle(QStringLiteral("Sign in"));
      break;
    case AuthScreen::create:
      title_->setText(QStringLiteral("Create your account"));
      subtitle_->setText(verified ? QStringLiteral("Email confirmed. Now choose a password.")
                                  : QStringLiteral("Start with your email; we'll send a code to confirm it."));
      primary_->setTitle(verified ? QStringLiteral("Create account") : QStringLiteral("Verify"));
      break;
    case AuthScreen::reset:
      title_->setText(QStringLiteral("Reset password"));
      subtitle_->setText(resetCodeSent ? QStringLiteral("Enter the code we emailed you and a new password.")
                                       : QStringLiteral("We'll email you a code to set a new password."));
      primary_->setTitle(resetCodeSent ? QStringLiteral("Reset password") : QStringLiteral("Send code"));
      break;
  }

  email_->edit()->setReadOnly(choosingPassword);
  code_->setVisible(screen == AuthScreen::reset && resetCodeSent);
  password_->setVisible(screen == AuthScreen::signIn || choosingPassword);
  password_->edit()->setPlaceholderText(screen == AuthScreen::reset ? QStringLiteral("New password")
                                                                    : QStringLiteral("Password"));
  confirm_->setVisible(choosingPassword);
  rules_->setVisible(choosingPassword);
  rules_->update(form_.password);
  mismatch_->setVisible(choosingPassword && form_.password != form_.confirmPw);

  // Enabled exactly when submitting would start something.
  AuthFlags idle{false, auth_->awaitingCode.get(), verified, resetCodeSent};
  primary_->setEnabled(!busy && decideSubmit(form_, idle) != SubmitAction::none);
  primary_->setBusy(busy);

  const auto& error = auth_->error.get();
  error_->setText(error ? qs(*error) : QString());
  error_->setVisible(error.has_value());

  createLink_->setVisible(screen == AuthScreen::signIn);
  forgotLink_->setVisible(screen == AuthScreen::signIn);
  resendResetLink_->setVisible(screen == AuthScreen::reset && resetCodeSent);
  resendResetLink_->setEnabled(!busy);

  const bool showPopup = auth_->awaitingCode.get();
  if (showPopup) {
    const auto& pending = auth_->pendingEmail();
    popupAddress_->setText(QStringLiteral("We emailed it to ") + qs(pending.empty() ? form_.email : pending));
    popupConfirm_->setEnabled(!busy);
    popupConfirm_->setBusy(busy);
    popup_->setGeometry(rect());
    popup_->raise();
  }
  popup_->setVisible(showPopup);
}

void AuthFlow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  popup_->setGeometry(rect());
}

}  // namespace deskwave::ui
