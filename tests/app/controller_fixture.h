#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/app_controller.h"
#include "app/settings_keys.h"
#include "platform/memory_settings_store.h"
#include "platform/virtual_time.h"
#include "inject/standard_watcher.h"
#include "support/fake_chat_app.h"
#include "support/fake_http_client.h"
#include "support/fakes.h"
#include "support/memory_secret_store.h"
#include "support/temp_home.h"

namespace deskwave::testing {

// A controller over recording fakes, in virtual time, with a temporary home.
// By default the user is onboarded (tools "Cursor", "Codex") and signed in.
class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() {
    settings->setStringList(keys::selectedTools, {"Cursor", "Codex"});
    settings->setBool(keys::onboardingDone, true);
    auth->username.assign("me@example.com");
  }

  // Builds the controller from the current settings.
  std::shared_ptr<AppController> make() {
    BridgeComponents c{settings, log,  ipMonitor, paster, relay, server, claudeMonitor,
                       claudeCockpit, cursorCockpit, push, auth, inhibitor};
    controller = AppController::create(runtime, home.paths(), c);
    return controller;
  }

  std::shared_ptr<AppController> started() {
    make()->startBridge();
    return controller;
  }

  // Log messages without the "[ResponseWatcher] [HH:mm:ss] " prefix.
  std::vector<std::string> logged() const {
    std::vector<std::string> out;
    for (const auto& line : echoed) {
      const auto end = line.find("] ", line.find("] ") + 2);
      out.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return out;
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::vector<std::string> echoed;
  std::shared_ptr<WatcherDebugLog> log = WatcherDebugLog::create(
      home.paths().debugLogFile(), runtime.main, runtime.clock,
      [this](std::string_view line) { echoed.emplace_back(line); });
  std::shared_ptr<FakeIPMonitor> ipMonitor = std::make_shared<FakeIPMonitor>();
  // The desk: Cursor, Claude (with a question on screen) and Codex.
  std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>(runtime.clock);
  std::shared_ptr<FakeChatApp> cursorApp = addChatApp(*desktop, {"Cursor", "cursor.desktop", "/opt/cursor/cursor", 100});
  std::shared_ptr<FakeChatApp> claudeApp = addChatApp(*desktop, {"Claude", "claude.desktop", "/opt/Claude/claude", 200});
  std::shared_ptr<FakeChatApp> codexApp = addChatApp(*desktop, {"Codex", "codex.desktop", "/usr/bin/codex", 300});
  std::shared_ptr<CursorPaster> paster =
      CursorPaster::create(runtime, desktop, log, standardWatcherFactory(runtime, desktop, home.path(), log));
  std::shared_ptr<FakeRelayClient> relay = std::make_shared<FakeRelayClient>();
  std::shared_ptr<FakeHTTPServer> server = std::make_shared<FakeHTTPServer>();
  std::shared_ptr<FakeClaudeMonitor> claudeMonitor = std::make_shared<FakeClaudeMonitor>();
  std::shared_ptr<FakeCockpitMonitor> claudeCockpit = std::make_shared<FakeCockpitMonitor>();
  std::shared_ptr<FakeCockpitMonitor> cursorCockpit = std::make_shared<FakeCockpitMonitor>();
  std::shared_ptr<FakePushSender> push = std::make_shared<FakePushSender>();
  // The real account state over a client whose requests are never answered.
  std::shared_ptr<AuthState> auth =
      AuthState::create(runtime.main, settings, std::make_shared<MemorySecretStore>(),
                        std::make_shared<CognitoAPI>(std::make_shared<FakeHttpClient>(),
                                                     CognitoConfig{"https://cognito.invalid/", "testclient"}));
  std::shared_ptr<FakeSleepInhibitor> inhibitor = std::make_shared<FakeSleepInhibitor>();
  std::shared_ptr<AppController> controller;
};

}  // namespace deskwave::testing
