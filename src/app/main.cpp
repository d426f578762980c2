// deskwave: the desktop side of Deskwave.

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>

#include "app/app_controller.h"
#include "app/command_line.h"
#include "account/cognito_api.h"
#include "capture/transcript_claude_monitor.h"
#include "capture/transcript_cockpit_monitor.h"
#include "delivery/apns_sender.h"
#include "inject/standard_watcher.h"
#include "local/local_server.h"
#include "local/system_ip_monitor.h"
#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"
#include "platform/linux/desktop_entries.h"
#include "platform/linux/linux_desktop.h"
#include "platform/linux/logind_sleep_inhibitor.h"
#include "platform/memory_settings_store.h"
#include "platform/open_secret_store.h"
#include "platform/sqlite_settings_store.h"
#include "relay/websocket_relay_client.h"
#include "tools/ai_tool_store.h"
#include "tools/app_scanner.h"
#include "tools/scan_url.h"
#include "ui/controller_facade.h"
#include "ui/tray_application.h"

using namespace deskwave;

int main(int argc, char** argv) {
  CLI::App cli{"Deskwave: drive AI coding assistants on this computer from your phone."};
  bool headless = false;
  bool startPaused = false;
  cli.add_flag("--headless", headless, "Run the bridge without any window");
  cli.add_flag("--paused", startPaused,
               "Start with prompts from the phone paused (Resume in the tray menu; headless: send SIGUSR1)");
  cli.set_version_flag("--version", std::string("deskwave ") + DESKWAVE_VERSION);
  auto commands = CommandLine::addTo(cli);
  CLI11_PARSE(cli, argc, argv);
  if (auto status = commands->run()) return *status;

  AsioRuntime asio;
  Runtime runtime = asio.runtime();
  // With a graphical session the main thread is Qt's event loop (tray and
  // set-up window); headless, or without a display, it is the Asio loop.
  std::unique_ptr<ui::QtApp> qt;
  if (!headless) qt = ui::makeQtApp(argc, argv);
  if (qt) runtime.main = qt->executor();
  const auto paths = Paths::fromEnvironment();

  std::shared_ptr<SettingsStore> settings = SqliteSettingsStore::open(paths.settingsFile());
  if (!settings) {
    std::cerr << "deskwave: settings are kept in memory only for this run\n";
    settings = std::make_shared<MemorySettingsStore>();
  }
  auto log = WatcherDebugLog::create(paths.debugLogFile(), runtime.main, runtime.clock);
  BridgeComponents components;
  components.settings = settings;
  components.log = log;
  components.sleepInhibitor =
      std::make_shared<LogindSleepInhibitor>([log](const std::string& line) { log->log(line); });
  auto sayToLog = [log](std::string_view line) { log->log(std::string(line)); };
  // Every request to an outside service (push, account, tool scan) goes through this client.
  auto http = makeCurlHttpClient();
  components.push = std::make_shared<APNsSender>(apnsConfigFromEnvironment(paths), settings, http, runtime, sayToLog);
  components.auth = AuthState::create(runtime.main, settings, openSecretStore(sayToLog),
                                      std::make_shared<CognitoAPI>(http, cognitoConfigFromEnvironment()));
  components.server = LocalServer::create(runtime, asio.pool(), makeAvahiAdvertiser([log](const std::string& line) {
                                            log->log(line);
                                          }),
                                          LocalServer::Options{});
  components.ipMonitor = SystemIPMonitor::create(runtime);
  components.claudeMonitor = TranscriptClaudeMonitor::create(runtime, paths.home, settings, log);
  components.claudeCockpit = TranscriptCockpitMonitor::create(CockpitAdapter::claude(paths.home), runtime);
  components.cursorCockpit = TranscriptCockpitMonitor::create(CockpitAdapter::cursor(paths.home), runtime);
  // Typing into other applications needs an X11 desktop with accessibility;
  // without one the bridge still serves the phone, and says why in the log.
  auto desktop = openLinuxDesktop([log](const std::string& line) { log->log(line); });
  auto paster = CursorPaster::create(runtime, desktop, log, standardWatcherFactory(runtime, desktop, paths.home, log));
  paster->lastPasteHint.observe([log](const std::optional<std::string>& hint) {
    if (hint) log->log("PASTE: hint: " + *hint);
  });
  components.cursorPaster = paster;
  components.relayClient =
      WebSocketRelayClient::create(runtime, makeBeastWebSocketClient(asio.pool()), configuredRelayURL(), log);
  auto controller = AppController::create(runtime, paths, components);

  if (qt) {
    auto scanner = std::make_shared<const AppScanner>(http, scanURLFromRelayURL(configuredRelayURL()),
                                                      [] { return installedApplicationNames(); });
    ui::ToolStoreFactory toolStores = [runtime, settings, scanner](std::shared_ptr<AppPicker> picker) {
      AIToolStore::Options options;
      options.appName = [](const std::string& path) { return applicationNameForFile(path); };
      return AIToolStore::create(runtime, settings, scanner, std::move(picker), options);
    };
    runtime.main->post([controller, startPaused] {
      // Paused before the local link opens, so that it never answers "not paused".
      if (startPaused) controller->togglePause();
      controller->launch();
    });
    return ui::runTray(*qt, ui::makeBridgeFacade(controller, runtime.main, toolStores));
  }

  controller->onShowSetup = [log] {
    log->log("Setup: no window in this mode; sign in with \"deskwave login\" or \"deskwave signup\" and choose "
             "tools with \"deskwave tools select\"");
  };
  runtime.main->post([controller, startPaused] {
    if (startPaused) controller->togglePause();
    controller->launch();
  });
  // Without a tray menu, SIGUSR1 pauses and resumes the bridge.
  asio.onSignal(SIGUSR1, [controller] { controller->togglePause(); });
  asio.stopOnSignals();
  asio.runMainLoop();
  return 0;
}
