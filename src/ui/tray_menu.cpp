#include "ui/tray_menu.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace deskwave::ui {
namespace {

// Menu symbols take the menu's own text colour, so they follow the theme.
QIcon menuSymbol(const QWidget& menu, const char* symbol) {
  return tintedSymbol(symbol, menu.palette().color(QPalette::WindowText), 16);
}

void setAction(QAction* action, const QWidget& menu, const QString& title, const char* symbol) {
  action->setText(title);
  action->setIcon(menuSymbol(menu, symbol));
  action->setProperty("symbol", symbol);
}

}  // namespace

// ---- TrayMenu ----

TrayMenu::TrayMenu(BridgeRef bridge, std::function<void()> quit, QWidget* parent)
    : QMenu(parent), bridge_(std::move(bridge)) {
  setObjectName("trayMenu");
  status_ = new StatusRow(bridge_, this);
  auto* statusAction = new QWidgetAction(this);
  statusAction->setDefaultWidget(status_);
  addAction(statusAction);
  addSeparator();
  pause_ = addAction(QString());
  settings_ = addAction(QString());
  quit_ = addAction(QString());
  setAction(settings_, *this, QStringLiteral("Settings"), "gearshape.fill");
  setAction(quit_, *this, QStringLiteral("Quit Deskwave"), "power");

  connect(pause_, &QAction::triggered, this, [this] { bridge_->togglePause(); });
  // The menu has closed by the time a triggered action runs.
  connect(settings_, &QAction::triggered, this, [this] { bridge_->showSetup(); });
  connect(quit_, &QAction::triggered, this, [quit = std::move(quit)] { quit(); });
  for (auto* o : {bridge_->paused, bridge_->phoneConnected, bridge_->localActive})
    if (o) observers_.observe(*o, [this](bool) { refresh(); });
  refresh();
}

void TrayMenu::refresh() {
  const bool paused = bridge_->paused && bridge_->paused->get();
  setAction(pause_, *this, paused ? QStringLiteral("Resume") : QStringLiteral("Pause"),
            paused ? "play.fill" : "pause.fill");
  status_->refresh();
}

// ---- StatusWindow ----

StatusWindow::StatusWindow(BridgeRef bridge, TrayMenu& menu, QWidget* parent) : QWidget(parent) {
  setObjectName("statusWindow");
  setWindowTitle(QStringLiteral("Deskwave"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(12, 12, 12, 12);
  column->setSpacing(6);
  column->addWidget(new StatusRow(std::move(bridge), this));
  for (QAction* action : {menu.pauseAction(), menu.settingsAction(), menu.quitAction()}) {
    auto* button = new QToolButton(this);
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setAutoRaise(true);
    column->addWidget(button);
  }
  setWindowIcon(dwMarkIcon(palette().color(QPalette::WindowText)));
}

void StatusWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  showMinimized();
}

// ---- TrayShell ----

TrayShell::TrayShell(BridgeRef bridge, std::function<void()> quit)
    : bridge_(std::move(bridge)), setup_(bridge_), menu_(std::make_unique<TrayMenu>(bridge_, std::move(quit))) {
  if (bridge_->installSetupHooks) bridge_->installSetupHooks([this] { setup_.show(); }, [this] { setup_.close(); });
}

TrayShell::~TrayShell() {
  if (bridge_->installSetupHooks) bridge_->installSetupHooks({}, {});
}

void TrayShell::start() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    statusWindow_ = std::make_unique<StatusWindow>(bridge_, *menu_);
    statusWindow_->show();
    return;
  }
  // Drawn in the panel's text colour and marked as a mask, as panel icons are.
  tray_ = std::make_unique<QSystemTrayIcon>(dwMarkIcon(QApplication::palette().color(QPalette::WindowText)));
  tray_->setContextMenu(menu_.get());
  auto tooltip = [this] { tray_->setToolTip(QStringLiteral("Deskwave — ") + qs(bridge_->connectionLabel())); };
  tooltip();
  for (auto* o : {bridge_->paused, bridge_->phoneConnected, bridge_->localActive})
    if (o) observers_.observe(*o, [tooltip](bool) { tooltip(); });
  // A plain click opens the menu too, where the panel leaves that to us.
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated, menu_.get(),
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
                   });
  tray_->show();
}

}  // namespace deskwave::ui
