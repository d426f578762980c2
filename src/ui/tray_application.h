#pragma once

#include <memory>

#include "platform/executor.h"
#include "ui/bridge_facade.h"

namespace deskwave::ui {

// The graphical application: the Qt application object and its event loop,
// which is the program's main thread. No Qt in this header.
//
//   auto qt = makeQtApp(argc, argv);          // before any component is built
//   runtime.main = qt->executor();            // main-thread work runs in Qt's loop
//   … build the components and the controller on `runtime` …
//   runtime.main->post([controller] { controller->launch(); });
//   return runTray(*qt, makeBridgeFacade(controller, runtime.main, makeToolStore));
class QtApp {
 public:
  ~QtApp();
  QtApp(const QtApp&) = delete;
  QtApp& operator=(const QtApp&) = delete;

  // The main thread's executor: Qt's event loop.
  std::shared_ptr<Executor> executor() const;
  // Ends the event loop; safe from any thread.
  void quit();

 private:
  friend std::unique_ptr<QtApp> makeQtApp(int& argc, char** argv);
  friend int runTray(QtApp& app, BridgeFacade bridge);
  QtApp();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Creates the application (it keeps running with no window open) and its
// executor, and makes SIGINT and SIGTERM end the loop. `argc` must outlive the
// application. Null when no graphical session can be reached (no DISPLAY or
// WAYLAND_DISPLAY and no QT_QPA_PLATFORM): the caller then runs without windows.
std::unique_ptr<QtApp> makeQtApp(int& argc, char** argv);

// Shows the tray item (or, without a system tray, a small status window),
// installs the bridge's set-up window hooks, and runs the event loop until
// "Quit Deskwave" or a signal. Returns the loop's exit code. The hooks are
// removed again before it returns.
int runTray(QtApp& app, BridgeFacade bridge);

}  // namespace deskwave::ui
