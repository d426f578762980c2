// Runs the interface tests inside one QApplication, off screen unless the
// environment names another platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "ui/ui_common.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  deskwave::ui::prepareIconTheme();
  return RUN_ALL_TESTS();
}
