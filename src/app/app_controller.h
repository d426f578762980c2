#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/auth_state.h"
#include "app/onboarding_state.h"
#include "app/sent_prompt_tracker.h"
#include "app/tools_box.h"
#include "capture/ai_cockpit_monitor.h"
#include "capture/claude_monitor.h"
#include "capture/watcher_debug_log.h"
#include "delivery/push_sender.h"
#include "delivery/message_store.h"
#include "delivery/response_outbox.h"
#include "inject/cursor_paster.h"
#include "local/http_server.h"
#include "local/ip_monitor.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"
#include "platform/sleep_inhibitor.h"
#include "relay/pairing_manager.h"
#include "relay/relay_client.h"

namespace deskwave {

// The working parts the controller drives, built by the application.
struct BridgeComponents {
  std::shared_ptr<SettingsStore> settings;
  std::shared_ptr<WatcherDebugLog> log;
  std::shared_ptr<IPMonitor> ipMonitor;
  std::shared_ptr<CursorPaster> cursorPaster;
  std::shared_ptr<RelayClient> relayClient;
  std::shared_ptr<HTTPServer> server;
  std::shared_ptr<ClaudeMonitor> claudeMonitor;
  std::shared_ptr<AICockpitMonitor> claudeCockpit;
  std::shared_ptr<AICockpitMonitor> cursorCockpit;
  std::shared_ptr<PushSender> push;
  std::shared_ptr<AuthState> auth;
  std::shared_ptr<SleepInhibitor> sleepInhibitor;
};

// How the menu shows the connection state; the interface maps it to its palette.
enum class StatusTone { paused, online, secondary };

// Owns every working part of the bridge and wires them together: routes each
// prompt from the phone to its injection path and fans every reply out to the
// outbox, the history, the relay and a push. Main thread only, except where a
// hook says otherwise.
class AppController : public std::enable_shared_from_this<AppController> {
 public:
  static constexpr double kPresencePeriod = 2.0;
  static constexpr double kLocalContactWindow = 8.0;
  static constexpr const char* kTokenTarget = "__apns_token__";

  static std::shared_ptr<AppController> create(Runtime runtime, Paths paths, BridgeComponents components);
  ~AppController();

  // Launch: applies keep-awake, wires the account-change reset, then starts the
  // bridge or asks for the set-up window.
  void launch();
  // Starts everything, once, when the user is onboarded and signed in.
  void startBridge();
  void startRelay();
  void routePrompt(const std::string& target, const std::string& text);
  void wireResponseCallback();
  void refreshPhoneConnected();

  // Consumes a push-token registration ("__apns_token__"); true when consumed.
  static bool handleTokenRegistration(const std::string& target, const std::string& text, PushSender& push);

  void togglePause();
  void saveToolSelection(const std::vector<std::string>& tools);
  void setKeepAwake(bool on);
  void applyKeepAwake();
  void wipeForNewAccount();
  void showSetup();
  void closeSetup();

  std::string connectionLabel() const;
  std::string connectionSymbol() const;
  StatusTone statusTone() const;

  // Observable state for the interface.
  Observable<bool> paused{false};
  Observable<bool> started{false};
  Observable<bool> phoneConnected{false};
  Observable<bool> localActive{false};
  Observable<bool> keepAwake{false};

  // Set by the application shell: open and close the set-up window.
  std::function<void()> onShowSetup;
  std::function<void()> onCloseSetup;

  OnboardingState& onboarding() { return *onboarding_; }
  MessageStore& store() { return *store_; }
  ResponseOutbox& outbox() { return *outbox_; }
  SentPromptTracker& sentPrompts() { return *sentPrompts_; }
  PairingManager& pairing() { return *pairing_; }
  ToolsBox& toolsBox() { return *toolsBox_; }
  const BridgeComponents& components() const { return c_; }

 private:
  AppController(Runtime runtime, Paths paths, BridgeComponents components);

  // Wraps a member handler in a hook that holds the controller weakly.
  template <class... Args>
  std::function<void(Args...)> weakHook(void (AppController::*handler)(Args...));

  void handleLocalPrompt(const std::string& target, const std::string& text);
  void handleRelayPrompt(const std::string& target, const std::string& text);
  void handleAttachment(const std::string& target, const std::string& text, const std::vector<AttachedImage>& images);
  void handlePermAnswer(const std::string& decision);
  void handleReply(const std::string& target, const std::string& text);
  void handleGenericPartial(const std::string& target, const std::string& text);
  void handleClaudeReply(const std::string& text);
  void handleDeskPrompt(const std::string& text);
  void handleQuestion(const std::string& text, const std::vector<std::string>& options,
                      const std::vector<std::string>& descriptions);
  void handleCockpitPartial(const std::string& tab, const std::optional<std::string>& partial);

  void log(const std::string& message) { c_.log->log(message); }
  bool useInternet() const;
  // History insert, posted to run after the current handler.
  void postHistoryInsert(const std::string& target, const std::string& text, bool isReceived);
  void insertHistory(const std::string& target, const std::string& text, bool isReceived);
  void fanOut(const std::string& target, const std::string& text, const std::string& role);

  Runtime runtime_;
  Paths paths_;
  BridgeComponents c_;
  std::unique_ptr<OnboardingState> onboarding_;
  std::unique_ptr<MessageStore> store_;
  std::unique_ptr<PairingManager> pairing_;
  std::shared_ptr<ToolsBox> toolsBox_;
  std::shared_ptr<ResponseOutbox> outbox_;
  std::shared_ptr<SentPromptTracker> sentPrompts_;
  // The last mirrored desk prompt was a phone prompt's echo: the next mirrored
  // reply answers it. Main thread only.
  bool mirrorAnswersPhonePrompt_ = false;

  std::optional<MonoTime> lastLocalContact_;  // nullopt: never
  TaskHandle statusTimer_;
  std::optional<SleepInhibitor::Token> sleepAssertion_;
};

}  // namespace deskwave
