#include "ui/tray_application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdlib>

#include "ui/qt_executor.h"
#include "ui/tray_menu.h"

namespace deskwave::ui {
namespace {

// SIGINT / SIGTERM end the event loop through a pipe the loop watches.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

bool graphicalSessionReachable() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

struct QtApp::Impl {
  std::unique_ptr<QApplication> app;
  std::shared_ptr<QtExecutor> executor;
  std::unique_ptr<QSocketNotifier> signalWatch;
};

QtApp::QtApp() : impl_(std::make_unique<Impl>()) {}

QtApp::~QtApp() {
  impl_->signalWatch.reset();
  impl_->executor.reset();
  impl_->app.reset();
}

std::shared_ptr<Executor> QtApp::executor() const { return impl_->executor; }

void QtApp::quit() {
  // exit() (unlike quit()) does not ask the windows first, so a window that only
  // hides on close cannot keep the program running; it must run on the loop's thread.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

std::unique_ptr<QtApp> makeQtApp(int& argc, char** argv) {
  if (!graphicalSessionReachable()) return nullptr;
  std::unique_ptr<QtApp> qt(new QtApp);
  QApplication::setApplicationName(QStringLiteral("Deskwave"));
  QApplication::setDesktopFileName(QStringLiteral("deskwave"));
  qt->impl_->app = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  prepareIconTheme();
  qt->impl_->executor = std::make_shared<QtExecutor>();

  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }
  if (signalPipe[0] >= 0) {
    qt->impl_->signalWatch = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(qt->impl_->signalWatch.get(), &QSocketNotifier::activated, [] {
      char buffer[16];
      while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
      }
      QCoreApplication::exit(0);
    });
  }
  return qt;
}

int runTray(QtApp& app, BridgeFacade bridge) {
  (void)app;
  auto shared = std::make_shared<const BridgeFacade>(std::move(bridge));
  int code = 0;
  {
    TrayShell shell(shared, [] { QCoreApplication::exit(0); });
    shell.start();
    code = QApplication::exec();
  }
  // Windows closed during the last turn of the loop are still waiting to go.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return code;
}

}  // namespace deskwave::ui
