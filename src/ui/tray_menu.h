#pragma once

// The panel item and its menu, the window that stands in for them when the
// desktop has no system tray, and the shell that owns both with the set-up
// window. Qt inside: for the interface's sources and tests only.

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <memory>

#include "ui/setup_window.h"

namespace deskwave::ui {

// The menu: the status row, then "Pause"/"Resume", "Settings" and "Quit
// Deskwave". Follows the bridge's observables.
class TrayMenu : public QMenu {
 public:
  TrayMenu(BridgeRef bridge, std::function<void()> quit, QWidget* parent = nullptr);
  void refresh();

  StatusRow* statusRow() const { return status_; }
  QAction* pauseAction() const { return pause_; }
  QAction* settingsAction() const { return settings_; }
  QAction* quitAction() const { return quit_; }

 private:
  BridgeRef bridge_;
  ObserverScope observers_;
  StatusRow* status_;
  QAction* pause_;
  QAction* settings_;
  QAction* quit_;
};

// The menu's content as a small window, for desktops without a system tray.
// Closing it only minimizes it: the bridge keeps running until "Quit".
class StatusWindow : public QWidget {
 public:
  StatusWindow(BridgeRef bridge, TrayMenu& menu, QWidget* parent = nullptr);

 protected:
  void closeEvent(QCloseEvent* event) override;
};

// Everything on screen: the tray item (or the status window), its menu and
// the set-up window, with the bridge's open / close hooks pointing here.
class TrayShell {
 public:
  TrayShell(BridgeRef bridge, std::function<void()> quit);
  ~TrayShell();

  // Shows the tray item, or the status window when there is no tray.
  void start();

  TrayMenu& menu() { return *menu_; }
  SetupWindowHost& setup() { return setup_; }
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }
  StatusWindow* statusWindow() const { return statusWindow_.get(); }

 private:
  BridgeRef bridge_;
  SetupWindowHost setup_;
  std::unique_ptr<TrayMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<StatusWindow> statusWindow_;
  ObserverScope observers_;
};

}  // namespace deskwave::ui
