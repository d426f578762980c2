#include "ui/setup_window.h"

#include <QCloseEvent>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPropertyAnimation>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

namespace deskwave::ui {
namespace {

// A bordered panel holding one row of controls.
QFrame* panelRow(QWidget* parent, QHBoxLayout** row) {
  auto* frame = new QFrame(parent);
  frame->setProperty("role", "panel");
  *row = new QHBoxLayout(frame);
  (*row)->setContentsMargins(12, 8, 12, 8);
  (*row)->setSpacing(10);
  return frame;
}

}  // namespace

// ---- WelcomeGate ----

WelcomeGate::WelcomeGate(std::shared_ptr<AuthState> auth, QWidget* parent) : QWidget(parent) {
  setObjectName("welcomeGate");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(18);
  column->addWidget(brandHeader(this));
  flow_ = new AuthFlow(std::move(auth), this);
  column->addWidget(flow_, 1);
}

// ---- OnboardingView ----

OnboardingView::OnboardingView(BridgeRef bridge, std::shared_ptr<AppPicker> picker,
                               std::function<void(const std::vector<std::string>&)> onComplete, QWidget* parent)
    : QWidget(parent), bridge_(std::move(bridge)), onComplete_(std::move(onComplete)) {
  setObjectName("onboardingView");
  store_ = bridge_->makeToolStore(std::move(picker));
  const auto stored = bridge_->settings ? bridge_->settings->getInt(stepKey) : 0;
  step_ = static_cast<int>(std::clamp<std::int64_t>(stored, 0, 1));

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  pages_ = new QStackedWidget(this);
  column->addWidget(pages_);

  // Step 0: the tools.
  auto* tools = new QWidget(pages_);
  auto* toolsColumn = new QVBoxLayout(tools);
  toolsColumn->setContentsMargins(0, 0, 0, 0);
  toolsColumn->setSpacing(10);
  toolsColumn->addWidget(brandHeader(tools));
  toolsColumn->addSpacing(6);
  toolsColumn->addWidget(textLabel(QStringLiteral("Choose your AI tools"), "title", tools));
  toolsColumn->addWidget(textLabel(
      QStringLiteral("Tick the AI coding apps you use. Your phone shows one tab for each."), "secondary", tools));
  panel_ = new ToolPickerPanel(store_, tools);
  toolsColumn->addWidget(panel_, 1);
  continue_ = new BrandButton(QStringLiteral("Continue"), tools);
  continue_->setObjectName("continueButton");
  toolsColumn->addWidget(continue_);
  pages_->addWidget(tools);

  // Step 1: done.
  auto* done = new QWidget(pages_);
  auto* doneColumn = new QVBoxLayout(done);
  doneColumn->setContentsMargins(0, 0, 0, 0);
  doneColumn->setSpacing(14);
  doneColumn->addStretch(1);
  auto* mark = new QLabel(done);
  mark->setPixmap(drawDWMark(toQColor(palette::online), 64, 2.0));
  mark->setAlignment(Qt::AlignHCenter);
  doneColumn->addWidget(mark);
  auto* heading = textLabel(QStringLiteral("You're all set"), "title", done);
  heading->setAlignment(Qt::AlignHCenter);
  doneColumn->addWidget(heading);
  auto* note = new QTextBrowser(done);
  note->setObjectName("doneNote");
  note->setFrameShape(QFrame::NoFrame);
  note->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  note->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  note->setTextInteractionFlags(Qt::NoTextInteraction);
  note->setFocusPolicy(Qt::NoFocus);
  note->setFixedHeight(96);
  // The small menu-bar mark, inline in the sentence.
  note->document()->addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("deskwave:mark")),
                                drawDWMark(toQColor(palette::text), 16, 2.0).toImage());
  note->setHtml(
      QStringLiteral("<p align=\"center\" style=\"line-height: 140%\">Deskwave now runs from "
                     "<img src=\"deskwave:mark\" width=\"16\" height=\"16\" style=\"vertical-align: middle\"/>"
                     " in your system tray. You can close this window — it keeps working in the background.</p>"));
  doneColumn->addWidget(note);
  doneColumn->addStretch(1);
  finish_ = new BrandButton(QStringLiteral("Start Deskwave"), done);
  finish_->setObjectName("finishButton");
  doneColumn->addWidget(finish_);
  pages_->addWidget(done);

  connect(continue_, &QPushButton::clicked, this, [this] {
    if (canConfirmSelection(*store_)) setStep(1, true);
  });
  connect(finish_, &QPushButton::clicked, this, [this] {
    if (onComplete_) onComplete_(store_->selectedTools());
  });
  observers_.observe(store_->loading, [this](bool) { refresh(); });
  observers_.observe(store_->tools, [this](const std::vector<std::string>&) { refresh(); });
  observers_.observe(store_->selected, [this](const std::set<std::string>&) { refresh(); });
  setStep(step_, false);
  refresh();
}

void OnboardingView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (loaded_) return;
  loaded_ = true;
  store_->load({}, false);
}

void OnboardingView::setStep(int step, bool animated) {
  step_ = step;
  pages_->setCurrentIndex(step);
  if (!animated) return;
  auto* page = pages_->currentWidget();
  auto* fade = new QGraphicsOpacityEffect(page);
  page->setGraphicsEffect(fade);
  auto* animation = new QPropertyAnimation(fade, "opacity", page);
  animation->setDuration(250);
  animation->setStartValue(0.0);
  animation->setEndValue(1.0);
  connect(animation, &QPropertyAnimation::finished, page, [page] { page->setGraphicsEffect(nullptr); });
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void OnboardingView::refresh() { continue_->setEnabled(canConfirmSelection(*store_)); }

// ---- SettingsContent ----

SettingsContent::SettingsContent(BridgeRef bridge, std::shared_ptr<AppPicker> picker, std::function<void()> onClose,
                                 QWidget* parent)
    : QWidget(parent), bridge_(std::move(bridge)), picker_(std::move(picker)) {
  setObjectName("settingsContent");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  pages_ = new QStackedWidget(this);
  outer->addWidget(pages_);

  auto* main = new QWidget(pages_);
  auto* column = new QVBoxLayout(main);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);
  column->addWidget(brandHeader(main));
  status_ = new StatusRow(bridge_, main);
  auto* statusLine = new QHBoxLayout;
  statusLine->addStretch(1);
  statusLine->addWidget(status_);
  statusLine->addStretch(1);
  column->addLayout(statusLine);
  column->addSpacing(8);

  // Signed-in row.
  QHBoxLayout* row = nullptr;
  auto* account = panelRow(main, &row);
  account->setObjectName("signedInRow");
  row->addWidget(symbolLabel("person.crop.circle.fill", toQColor(palette::inputIcon), 22, account));
  user_ = new QLabel(account);
  user_->setObjectName("userLabel");
  row->addWidget(user_, 1);
  signOut_ = linkButton(QStringLiteral("Sign out"), account);
  signOut_->setObjectName("signOutButton");
  row->addWidget(signOut_);
  column->addWidget(account);

  // "Change AI Tools".
  changeTools_ = new QPushButton(main);
  changeTools_->setObjectName("changeToolsButton");
  changeTools_->setProperty("role", "row");
  changeTools_->setCursor(Qt::PointingHandCursor);
  changeTools_->setMinimumHeight(44);
  auto* toolsFrame = new QFrame(main);
  toolsFrame->setProperty("role", "panel");
  auto* toolsOuter = new QHBoxLayout(toolsFrame);
  toolsOuter->setContentsMargins(2, 2, 2, 2);
  toolsOuter->addWidget(changeTools_);
  auto* toolsRow = new QHBoxLayout(changeTools_);
  toolsRow->setContentsMargins(10, 0, 10, 0);
  toolsRow->setSpacing(10);
  toolsRow->addWidget(symbolLabel("square.grid.2x2.fill", toQColor(palette::inputIcon), 18, changeTools_));
  auto* toolsText = new QLabel(QStringLiteral("Change AI Tools"), changeTools_);
  toolsText->setAttribute(Qt::WA_TransparentForMouseEvents);
  toolsRow->addWidget(toolsText, 1);
  toolsRow->addWidget(symbolLabel("chevron.right", toQColor(palette::secondary), 14, changeTools_));
  for (auto* child : changeTools_->findChildren<QLabel*>()) child->setAttribute(Qt::WA_TransparentForMouseEvents);
  column->addWidget(toolsFrame);

  // Keep-awake row.
  auto* awake = panelRow(main, &row);
  awake->setObjectName("keepAwakeRow");
  row->addWidget(symbolLabel("bolt.fill", toQColor(palette::paused), 18, awake));
  row->addWidget(new QLabel(QStringLiteral("Keep this computer awake while running"), awake), 1);
  keepAwake_ = new Switch(awake);
  keepAwake_->setObjectName("keepAwakeSwitch");
  row->addWidget(keepAwake_);
  column->addWidget(awake);

  column->addStretch(1);
  auto* closeRow = new QHBoxLayout;
  closeRow->addStretch(1);
  close_ = new QPushButton(QStringLiteral("Close"), main);
  close_->setObjectName("closeButton");
  close_->setMinimumWidth(96);
  closeRow->addWidget(close_);
  column->addLayout(closeRow);
  pages_->addWidget(main);

  connect(signOut_, &QPushButton::clicked, this, [this] { bridge_->auth->signOut(); });
  connect(changeTools_, &QPushButton::clicked, this, [this] { openToolPicker(); });
  connect(keepAwake_, &QAbstractButton::clicked, this, [this](bool on) { bridge_->setKeepAwake(on); });
  connect(close_, &QPushButton::clicked, this, [onClose = std::move(onClose)] { onClose(); });

  auto showUser = [this](const std::optional<std::string>& user) { user_->setText(user ? qs(*user) : QString()); };
  showUser(bridge_->auth->username.get());
  observers_.observe(bridge_->auth->username, showUser);
  if (bridge_->keepAwake) {
    keepAwake_->setChecked(bridge_->keepAwake->get());
    observers_.observe(*bridge_->keepAwake, [this](bool on) { keepAwake_->setChecked(on); });
  }
}

void SettingsContent::openToolPicker() {
  closeToolPicker();
  // A new store each time: the picker starts fresh from the saved selection.
  auto store = bridge_->makeToolStore(picker_);
  sheet_ = new ToolPickerSheet(
      std::move(store), bridge_->selectedTools(),
      [this](const std::vector<std::string>& tools) {
        bridge_->saveToolSelection(tools);
        closeToolPicker();
      },
      [this] { closeToolPicker(); }, pages_);
  pages_->addWidget(sheet_);
  pages_->setCurrentWidget(sheet_);
}

void SettingsContent::closeToolPicker() {
  pages_->setCurrentIndex(0);
  if (!sheet_) return;
  pages_->removeWidget(sheet_);
  sheet_->hide();
  sheet_->deleteLater();
  sheet_ = nullptr;
}

// ---- SetupWindow ----

SetupStage chooseStage(bool signedIn, bool onboardingDone) {
  if (!signedIn) return SetupStage::welcome;
  return onboardingDone ? SetupStage::settings : SetupStage::onboarding;
}

SetupWindow::SetupWindow(BridgeRef bridge, std::function<void()> onClose, std::function<void()> onUserClose,
                         QWidget* parent)
    : QWidget(parent), bridge_(std::move(bridge)), onClose_(std::move(onClose)), onUserClose_(std::move(onUserClose)) {
  setObjectName("setupWindow");
  setWindowTitle(QStringLiteral("Deskwave"));
  setAttribute(Qt::WA_StyledBackground);
  setFixedSize(460, 580);
  setStyleSheet(setupStyleSheet());
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 24, 28, 24);
  picker_ = std::make_shared<FileDialogAppPicker>(this);

  signedIn_ = bridge_->auth->username.get().has_value();
  observers_.observe(bridge_->auth->username, [this](const std::optional<std::string>&) { evaluate(); });
  if (bridge_->onboardingDone) observers_.observe(*bridge_->onboardingDone, [this](bool) { evaluate(); });
  showStage(chooseStage(signedIn_, bridge_->onboardingDone && bridge_->onboardingDone->get()));
}

void SetupWindow::evaluate() {
  const bool signedIn = bridge_->auth->username.get().has_value();
  const bool done = bridge_->onboardingDone && bridge_->onboardingDone->get();
  const bool justSignedIn = signedIn && !signedIn_;
  signedIn_ = signedIn;
  if (justSignedIn && done) {
    // A returning user: nothing more to set up.
    bridge_->startBridge();
    onClose_();
    return;
  }
  showStage(chooseStage(signedIn, done));
}

void SetupWindow::showStage(SetupStage stage) {
  if (current_ && stage == stage_) return;
  stage_ = stage;
  if (current_) {
    // The old stage may be running the handler that led here: remove it later.
    layout()->removeWidget(current_);
    current_->hide();
    current_->deleteLater();
  }
  switch (stage) {
    case SetupStage::welcome:
      current_ = new WelcomeGate(bridge_->auth, this);
      break;
    case SetupStage::onboarding:
      current_ = new OnboardingView(
          bridge_, picker_,
          [this](const std::vector<std::string>& tools) {
            bridge_->completeOnboarding(tools);
            bridge_->startBridge();
            onClose_();
          },
          this);
      break;
    case SetupStage::settings:
      current_ = new SettingsContent(bridge_, picker_, onClose_, this);
      break;
  }
  layout()->addWidget(current_);
  current_->show();
}

void SetupWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  if (onUserClose_) onUserClose_();
}

// ---- SetupWindowHost ----

SetupWindowHost::~SetupWindowHost() {
  lowerLater_.cancel();
  delete window_.data();
}

void SetupWindowHost::show() {
  if (!window_) {
    window_ = new SetupWindow(
        bridge_, [bridge = bridge_] { bridge->closeSetup(); }, [this] { close(); });
  }
  SetupWindow* w = window_.data();
  QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
  if (screen) {
    const QRect area = screen->availableGeometry();
    w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
  }
  // Above everything once, then a normal window.
  w->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  w->show();
  w->raise();
  w->activateWindow();
  lowerLater_.cancel();
  lowerLater_ = bridge_->main->postAfter(Seconds(kStayOnTopSeconds), [guarded = QPointer<SetupWindow>(w)] {
    if (!guarded) return;
    const bool visible = guarded->isVisible();
    guarded->setWindowFlag(Qt::WindowStaysOnTopHint, false);
    if (visible) guarded->show();
  });
}

void SetupWindowHost::close() {
  lowerLater_.cancel();
  if (!window_) return;
  SetupWindow* w = window_.data();
  window_ = nullptr;
  w->hide();
  w->deleteLater();
}

}  // namespace deskwave::ui
