#pragma once

// The interface over a real controller (recording fakes, virtual time), the
// real account state over a fake HTTP client, and tool stores whose scans the
// test answers.

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QPushButton>
#include <nlohmann/json.hpp>

#include "app/controller_fixture.h"
#include "platform/base64.h"
#include "ui/controller_facade.h"
#include "ui/setup_window.h"
#include "ui/tray_menu.h"

namespace deskwave::testing {

class UiFixture : public ControllerTest {
 public:
  using Names = std::vector<std::string>;

  UiFixture() {
    // Account requests go to a client the test answers.
    auth = AuthState::create(runtime.main, settings, std::make_shared<MemorySecretStore>(),
                             std::make_shared<CognitoAPI>(cognitoHttp, CognitoConfig{"https://cognito.invalid/", "c"}));
  }
  ~UiFixture() override {
    shell.reset();
    flushQt();
  }

  void setSignedIn(bool signedIn) {
    auth->username.assign(signedIn ? std::optional<std::string>("me@example.com") : std::nullopt);
  }
  void setOnboarded(bool done) {
    if (done) {
      settings->setStringList(keys::selectedTools, {"Cursor", "Codex"});
      settings->setBool(keys::onboardingDone, true);
    } else {
      settings->remove(keys::selectedTools);
      settings->setBool(keys::onboardingDone, false);
    }
  }

  // Builds the controller and the interface over it, with the set-up hooks installed.
  void build() {
    make();
    ui::ToolStoreFactory stores = [this](std::shared_ptr<AppPicker> picker) {
      return AIToolStore::create(runtime, settings, scanner, std::move(picker));
    };
    bridge = std::make_shared<const ui::BridgeFacade>(ui::makeBridgeFacade(controller, runtime.main, stores));
    shell = std::make_unique<ui::TrayShell>(bridge, [this] { ++quits; });
  }

  ui::SetupWindow* window() { return shell->setup().window(); }
  template <class T>
  T* find(const char* name) {
    return window() ? window()->findChild<T*>(QString::fromLatin1(name)) : nullptr;
  }

  // Runs the virtual main thread, then Qt's pending events and deletions.
  void settle() {
    time->runUntilIdle();
    flushQt();
  }
  static void flushQt() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // Answers the oldest unanswered scan with the relay's list of AI tools.
  void answerScan(const Names& tools) {
    time->runUntilIdle();
    ASSERT_FALSE(scanHttp->pending.empty()) << "no scan was sent";
    scanHttp->respond(200, nlohmann::json{{"tools", tools}}.dump());
    settle();
  }

  // The Cognito operation of each request sent, without the service prefix.
  Names cognitoActions() const {
    Names out;
    for (const auto& r : cognitoHttp->requests)
      for (const auto& [name, value] : r.headers)
        if (name == "X-Amz-Target") out.push_back(value.substr(value.find('.') + 1));
    return out;
  }
  // A successful sign-in answer for the account `sub`.
  static std::string session(const std::string& sub) {
    const auto token = base64UrlEncode(std::string(R"({"alg":"RS256"})")) + "." +
                       base64UrlEncode(nlohmann::json{{"sub", sub}}.dump()) + ".sig";
    return nlohmann::json{{"AuthenticationResult", {{"IdToken", token}, {"AccessToken", "a"}, {"RefreshToken", "r"}}}}
        .dump();
  }

  static void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled()) << button->text().toStdString();
    button->click();
  }

  std::shared_ptr<FakeHttpClient> cognitoHttp = std::make_shared<FakeHttpClient>();
  std::shared_ptr<FakeHttpClient> scanHttp = std::make_shared<FakeHttpClient>();
  std::shared_ptr<const AppScanner> scanner = std::make_shared<AppScanner>(
      scanHttp, "http://127.0.0.1:8080/scan",
      [] {
        return Names{"Cursor", "Zed", "Claude"};
      },
      [](const std::string&) {});
  std::shared_ptr<const ui::BridgeFacade> bridge;
  std::unique_ptr<ui::TrayShell> shell;
  int quits = 0;
};

}  // namespace deskwave::testing
