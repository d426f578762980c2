// The graphical application's own QApplication (one per process, hence a binary
// of its own): SIGTERM ends the event loop even while a window that only hides
// when asked to close (the status window of desktops without a tray) is open.

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

#include "ui/tray_application.h"

namespace deskwave::testing {
namespace {

class HidesOnClose : public QWidget {
 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

TEST(QtAppTest, ATerminationSignalEndsTheLoopWhateverTheWindowsSay) {
  int argc = 1;
  char name[] = "deskwave";
  char* argv[] = {name, nullptr};
  auto qt = ui::makeQtApp(argc, argv);
  ASSERT_TRUE(qt) << "QT_QPA_PLATFORM=offscreen should give an application";
  HidesOnClose window;
  window.show();

  bool gaveUp = false;
  QTimer::singleShot(0, [] { ::raise(SIGTERM); });
  QTimer::singleShot(10000, [&] {
    gaveUp = true;
    QCoreApplication::exit(1);
  });
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_FALSE(gaveUp) << "the loop did not end on SIGTERM";

  // The same from another thread through QtApp::quit.
  std::thread([&] { qt->quit(); }).join();
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_FALSE(gaveUp);
}

}  // namespace
}  // namespace deskwave::testing
