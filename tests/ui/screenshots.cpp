// Renders the tray menu and each set-up screen to PNG files, for the docs:
//   tests/desktop/run_in_session.sh <build>/tests/ui_screenshots docs/screenshots
// The controller, account service and relay scan are the tests' fakes.

#include <QApplication>
#include <QDir>
#include <QTest>
#include <filesystem>
#include <functional>
#include <iostream>

#include "ui_fixture.h"

namespace deskwave::testing {
namespace {

struct Harness : UiFixture {
  using ControllerTest::auth;
  using ControllerTest::controller;
  void TestBody() override {}
};

QString outDir;

bool save(QWidget* widget, const char* name) {
  if (!widget) {
    std::cerr << "screenshots: nothing to grab for " << name << "\n";
    return false;
  }
  QCoreApplication::processEvents();
  const QString path = outDir + "/" + name + ".png";
  const bool ok = widget->grab().save(path);
  std::cout << (ok ? "wrote " : "could not write ") << path.toStdString() << "\n";
  return ok;
}

// A fresh controller and interface for each picture.
bool shoot(const char* name, const std::function<QWidget*(Harness&)>& scene) {
  Harness h;
  QWidget* widget = scene(h);
  const bool ok = save(widget, name);
  return ok;
}

QWidget* signedOut(Harness& h) {
  h.setSignedIn(false);
  h.setOnboarded(false);
  h.build();
  h.bridge->showSetup();
  h.settle();
  return h.window();
}

int run() {
  bool ok = true;
  ok &= shoot("tray-menu", [](Harness& h) -> QWidget* {
    h.build();
    h.controller->startBridge();
    h.controller->phoneConnected.set(true);
    h.controller->localActive.set(true);
    auto& menu = h.shell->menu();
    menu.popup(QPoint(40, 40));
    QTest::qWait(100);
    return &menu;
  });
  ok &= shoot("tray-menu-paused", [](Harness& h) -> QWidget* {
    h.build();
    h.controller->togglePause();
    auto& menu = h.shell->menu();
    menu.popup(QPoint(40, 40));
    QTest::qWait(100);
    return &menu;
  });
  ok &= shoot("setup-sign-in", [](Harness& h) -> QWidget* {
    auto* w = signedOut(h);
    auto* flow = h.find<ui::AuthFlow>("authFlow");
    flow->emailField()->edit()->setText("me@example.com");
    flow->passwordField()->edit()->setText("correct horse");
    return w;
  });
  ok &= shoot("setup-create-rules", [](Harness& h) -> QWidget* {
    auto* w = signedOut(h);
    auto* flow = h.find<ui::AuthFlow>("authFlow");
    flow->setScreen(ui::AuthScreen::create);
    flow->emailField()->edit()->setText("new@example.com");
    h.auth->emailVerified.set(true);
    flow->passwordField()->edit()->setText("deskwave2024");
    flow->confirmField()->edit()->setText("deskwave");
    return w;
  });
  ok &= shoot("setup-code-popup", [](Harness& h) -> QWidget* {
    auto* w = signedOut(h);
    auto* flow = h.find<ui::AuthFlow>("authFlow");
    flow->setScreen(ui::AuthScreen::create);
    flow->emailField()->edit()->setText("new@example.com");
    flow->submit();  // registers the address and asks for the code
    h.cognitoHttp->respond(200, "{}");
    h.settle();
    flow->popupCodeEdit()->setText("4821");
    return w;
  });
  ok &= shoot("setup-reset", [](Harness& h) -> QWidget* {
    auto* w = signedOut(h);
    auto* flow = h.find<ui::AuthFlow>("authFlow");
    flow->setScreen(ui::AuthScreen::reset);
    flow->emailField()->edit()->setText("me@example.com");
    flow->submit();
    h.cognitoHttp->respond(200, "{}");
    h.settle();
    flow->codeField()->edit()->setText("482193");
    flow->passwordField()->edit()->setText("Str0ng!Passw0rd");
    flow->confirmField()->edit()->setText("Str0ng!Passw0rd");
    return w;
  });
  auto onboarding = [](Harness& h) {
    h.setSignedIn(true);
    h.setOnboarded(false);
    h.build();
    h.controller->launch();
    h.settle();
    h.answerScan({"Claude", "Codex", "Cursor", "Zed"});
    auto* panel = h.find<ui::ToolPickerPanel>("toolPickerPanel");
    for (const char* tool : {"Claude", "Cursor"}) panel->row(tool)->tapTarget()->click();
    h.settle();
  };
  ok &= shoot("setup-onboarding-tools", [&](Harness& h) -> QWidget* {
    onboarding(h);
    return h.window();
  });
  ok &= shoot("setup-onboarding-done", [&](Harness& h) -> QWidget* {
    onboarding(h);
    h.find<QPushButton>("continueButton")->click();
    QTest::qWait(400);  // the fade-in
    h.settle();
    return h.window();
  });
  ok &= shoot("setup-settings", [](Harness& h) -> QWidget* {
    h.setSignedIn(true);
    h.setOnboarded(true);
    h.build();
    h.controller->startBridge();
    h.controller->phoneConnected.set(true);
    h.controller->setKeepAwake(true);
    h.bridge->showSetup();
    h.settle();
    return h.window();
  });
  ok &= shoot("setup-settings-tools", [](Harness& h) -> QWidget* {
    h.setSignedIn(true);
    h.setOnboarded(true);
    h.build();
    h.bridge->showSetup();
    h.settle();
    h.find<QPushButton>("changeToolsButton")->click();
    h.settle();
    h.answerScan({"Claude", "Cursor", "Zed"});
    return h.window();
  });
  {
    QLabel icon;
    icon.setPixmap(ui::drawDWMark(Qt::black, 18, 4.0));
    icon.setStyleSheet("background: white");
    ok &= save(&icon, "tray-icon");
  }
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace deskwave::testing

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  deskwave::ui::prepareIconTheme();
  const auto dir = std::filesystem::absolute(argc > 1 ? argv[1] : "docs/screenshots");
  std::filesystem::create_directories(dir);
  deskwave::testing::outDir = QString::fromStdString(dir.string());
  return deskwave::testing::run();
}
