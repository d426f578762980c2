#include <QSystemTrayIcon>
#include <QToolButton>

#include "ui_fixture.h"

namespace deskwave::testing {
namespace {

class TrayMenuTest : public UiFixture {
 protected:
  ui::TrayMenu& menu() { return shell->menu(); }
  std::string statusLabel() { return menu().statusRow()->label()->text().toStdString(); }
  std::string statusSymbol() { return menu().statusRow()->symbol().toStdString(); }
  std::string pauseTitle() { return menu().pauseAction()->text().toStdString(); }
  std::string pauseSymbol() { return menu().pauseAction()->property("symbol").toString().toStdString(); }
};

TEST_F(TrayMenuTest, PauseAndResumeChangeTitleSymbolStatusAndLog) {
  build();
  controller->startBridge();
  controller->phoneConnected.set(true);
  controller->localActive.set(true);
  EXPECT_EQ(pauseTitle(), "Pause");
  EXPECT_EQ(pauseSymbol(), "pause.fill");
  EXPECT_EQ(statusLabel(), "Online");

  menu().pauseAction()->trigger();
  settle();
  EXPECT_EQ(pauseTitle(), "Resume");
  EXPECT_EQ(pauseSymbol(), "play.fill");
  EXPECT_EQ(statusLabel(), "Paused") << "whatever the phone's state";
  EXPECT_TRUE(server->paused);
  EXPECT_EQ(logged().back(), "\u23F8\uFE0F Bridge paused by user");

  menu().pauseAction()->trigger();
  settle();
  EXPECT_EQ(pauseTitle(), "Pause");
  EXPECT_EQ(pauseSymbol(), "pause.fill");
  EXPECT_EQ(statusLabel(), "Online");
  EXPECT_FALSE(server->paused);
  EXPECT_EQ(logged().back(), "\u25B6\uFE0F Bridge resumed by user");
}

TEST_F(TrayMenuTest, StatusRowFollowsTheLinkToThePhone) {
  build();
  struct Case {
    bool paused, phone, local;
    const char* label;
    const char* symbol;
  };
  const Case cases[] = {
      {false, false, false, "Offline", ""},  {false, true, false, "Online", "globe"},
      {false, true, true, "Online", "wifi"}, {true, true, true, "Paused", "wifi"},
      {true, false, false, "Paused", ""},
  };
  for (const auto& c : cases) {
    controller->paused.set(c.paused);
    controller->phoneConnected.set(c.phone);
    controller->localActive.set(c.local);
    EXPECT_EQ(statusLabel(), c.label) << c.paused << c.phone << c.local;
    EXPECT_EQ(statusSymbol(), c.symbol) << c.paused << c.phone << c.local;
    EXPECT_EQ(menu().statusRow()->findChild<QLabel*>("statusSymbol")->isHidden(), std::string(c.symbol).empty());
  }
}

TEST_F(TrayMenuTest, SettingsOpensTheSetupWindowAndBringsBackAnOpenOne) {
  build();
  EXPECT_EQ(menu().settingsAction()->property("symbol").toString(), "gearshape.fill");
  menu().settingsAction()->trigger();
  settle();
  ui::SetupWindow* opened = window();
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(opened->isVisible());
  opened->lower();
  menu().settingsAction()->trigger();
  settle();
  EXPECT_EQ(window(), opened);
  EXPECT_TRUE(opened->windowFlags() & Qt::WindowStaysOnTopHint);

  EXPECT_EQ(menu().quitAction()->text(), "Quit Deskwave");
  menu().quitAction()->trigger();
  EXPECT_EQ(quits, 1);
}

TEST_F(TrayMenuTest, WithoutASystemTrayAStatusWindowStandsInAndStaysOnClose) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the off-screen platform has no tray";
  build();
  shell->start();
  auto* standIn = shell->statusWindow();
  ASSERT_NE(standIn, nullptr);
  EXPECT_EQ(shell->trayIcon(), nullptr);
  EXPECT_TRUE(standIn->isVisible());
  QToolButton* pause = nullptr;
  for (auto* b : standIn->findChildren<QToolButton*>())
    if (b->defaultAction() == menu().pauseAction()) pause = b;
  ASSERT_NE(pause, nullptr);
  pause->click();
  EXPECT_TRUE(controller->paused.get());
  EXPECT_EQ(pause->text(), "Resume");
  EXPECT_FALSE(standIn->close()) << "closing keeps the only way back to the menu";
  EXPECT_EQ(quits, 0);
}

TEST_F(TrayMenuTest, HooksAreRemovedWithTheShell) {
  build();
  shell.reset();
  controller->showSetup();  // must not reach the destroyed shell
  EXPECT_FALSE(controller->onShowSetup);
  EXPECT_FALSE(controller->onCloseSetup);
}

}  // namespace
}  // namespace deskwave::testing
