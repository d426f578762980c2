#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/watcher_debug_log.h"
#include "platform/runtime.h"
#include "platform/websocket_client.h"
#include "relay/relay_client.h"

namespace deskwave {

// Periods and limits of the relay client, in seconds.
struct RelayTiming {
  double watchdogPeriod = 10.0;
  double idleLimit = 40.0;
  double pingPeriod = 25.0;
  double resendPeriod = 3.0;
  double reconnectDelay = 2.0;
};

// The relay client: keeps one WebSocket to the relay open while running, joins
// the room, hands prompts and acknowledgements to its hooks, pushes replies and
// the tool list, resends unacknowledged replies, and reconnects by itself.
// Everything that touches its state runs on the main executor.
class WebSocketRelayClient final : public RelayClient, public std::enable_shared_from_this<WebSocketRelayClient> {
 public:
  enum class State { disconnected, connecting, connected };

  using Timing = RelayTiming;
  using Print = std::function<void(const std::string&)>;

  // "RELAY:" lines go to `log`; "[RelayClient-Mac]" lines to `print`
  // (standard output by default).
  static std::shared_ptr<WebSocketRelayClient> create(Runtime runtime, std::shared_ptr<WebSocketClient> transport,
                                                      std::string relayURL, std::shared_ptr<WatcherDebugLog> log,
                                                      Timing timing = {}, Print print = {});
  ~WebSocketRelayClient() override;

  void start(const std::string& roomId, const SymmetricKey& key) override;
  void sendResponse(const OutboxItem& item) override;
  void sendTabs(const std::vector<std::string>& tabs) override;

  Observable<State> connectionState{State::disconnected};
  const std::string& relayURL() const { return relayURL_; }

 private:
  WebSocketRelayClient(Runtime runtime, std::shared_ptr<WebSocketClient> transport, std::string relayURL,
                       std::shared_ptr<WatcherDebugLog> log, Timing timing, Print print);

  void connect();
  void joinCompleted(const std::shared_ptr<WebSocketTask>& task, const std::optional<std::string>& error);
  void listen(const std::shared_ptr<WebSocketTask>& task);
  void handleIncoming(const WebSocketFrame& frame);
  void resendPending();
  void sendPayload(const std::string& plaintext, const char* errorPrefix);
  void ping();
  void watchdogTick();
  void forceReconnect();
  void connectionDropped();
  void setMainState(State state);
  TaskHandle every(double period, void (WebSocketRelayClient::*tick)());
  // Runs `work` on the main executor if the client still exists.
  void onMain(std::function<void(WebSocketRelayClient&)> work);
  void say(const std::string& line) { log_->log(line); }

  Runtime runtime_;
  std::shared_ptr<WebSocketClient> transport_;
  std::string relayURL_;
  std::shared_ptr<WatcherDebugLog> log_;
  Timing timing_;
  Print print_;

  std::shared_ptr<WebSocketTask> task_;
  std::optional<std::string> roomId_;
  std::optional<SymmetricKey> key_;
  bool running_ = false;
  bool connecting_ = false;
  MonoTime lastAlive_;
  TaskHandle pingTimer_;
  TaskHandle resendTimer_;
  TaskHandle watchdogTimer_;
};

// The relay address: $DESKWAVE_RELAY_URL when set, else the build's configured one.
std::string configuredRelayURL();
// The relay's "/scan" address on the same host: http:// for ws://, https:// for wss://.
std::string scanURLFor(const std::string& relayURL);

}  // namespace deskwave
