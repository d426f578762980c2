#include "relay/websocket_relay_client.h"

#include "platform/console.h"
#include <cstdlib>

#include "relay/relay_wire.h"

#ifndef DESKWAVE_RELAY_URL
#define DESKWAVE_RELAY_URL "ws://127.0.0.1:8080"
#endif

namespace deskwave {

std::string configuredRelayURL() {
  if (const char* url = std::getenv("DESKWAVE_RELAY_URL"); url && *url) return url;
  return DESKWAVE_RELAY_URL;
}

std::string scanURLFor(const std::string& relayURL) {
  const auto parsed = parseUrl(relayURL);
  if (!parsed) return {};
  const bool ipv6 = parsed->host.find(':') != std::string::npos;
  return std::string(parsed->tls ? "https://" : "http://") + (ipv6 ? "[" + parsed->host + "]" : parsed->host) + ":" +
         parsed->port + "/scan";
}

std::shared_ptr<WebSocketRelayClient> WebSocketRelayClient::create(Runtime runtime,
                                                                   std::shared_ptr<WebSocketClient> transport,
                                                                   std::string relayURL,
                                                                   std::shared_ptr<WatcherDebugLog> log, Timing timing,
                                                                   Print print) {
  if (!print) print = [](const std::string& line) { printLine(line); };
  return std::shared_ptr<WebSocketRelayClient>(new WebSocketRelayClient(
      std::move(runtime), std::move(transport), std::move(relayURL), std::move(log), timing, std::move(print)));
}

WebSocketRelayClient::WebSocketRelayClient(Runtime runtime, std::shared_ptr<WebSocketClient> transport,
                                           std::string relayURL, std::shared_ptr<WatcherDebugLog> log, Timing timing,
                                           Print print)
    : runtime_(std::move(runtime)), transport_(std::move(transport)), relayURL_(std::move(relayURL)),
      log_(std::move(log)), timing_(timing), print_(std::move(print)), lastAlive_(runtime_.clock->monotonic()) {}

WebSocketRelayClient::~WebSocketRelayClient() {
  pingTimer_.cancel();
  resendTimer_.cancel();
  watchdogTimer_.cancel();
  if (task_) task_->cancel(1006);
}

void WebSocketRelayClient::onMain(std::function<void(WebSocketRelayClient&)> work) {
  runtime_.main->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

void WebSocketRelayClient::setMainState(State state) {
  // Always deferred, so the state a handler reads is the one published before it ran.
  onMain([state](WebSocketRelayClient& self) { self.connectionState.set(state); });
}

TaskHandle WebSocketRelayClient::every(double period, void (WebSocketRelayClient::*tick)()) {
  const Seconds p(period);
  return runtime_.main->repeat(p, p, [weak = weak_from_this(), tick] {
    if (auto self = weak.lock()) ((*self).*tick)();
  });
}

void WebSocketRelayClient::start(const std::string& roomId, const SymmetricKey& key) {
  roomId_ = roomId;
  key_ = key;
  running_ = true;
  watchdogTimer_.cancel();
  watchdogTimer_ = every(timing_.watchdogPeriod, &WebSocketRelayClient::watchdogTick);
  connect();
}

void WebSocketRelayClient::connect() {
  if (!running_ || !roomId_) {
    say(std::string("RELAY: connect() bailed (running=") + (running_ ? "true" : "false") +
        ", roomId=" + roomId_.value_or("nil") + ")");
    return;
  }
  if (task_ || connecting_) return;
  connecting_ = true;
  setMainState(State::connecting);
  say("RELAY: connecting to " + relayURL_ + ", room=" + roomId_->substr(0, 8) + "\u2026");
  task_ = transport_->open(relayURL_);
  // Callbacks the task keeps hold it only weakly, so that a connection never
  // keeps itself alive through its own pending operations.
  task_->sendText(wire::encodeJoin(*roomId_), [weak = weak_from_this(), weakTask = std::weak_ptr(task_)](
                                                  std::optional<std::string> error) {
    auto self = weak.lock();
    auto task = weakTask.lock();
    if (self && task) self->onMain([task, error](WebSocketRelayClient& s) { s.joinCompleted(task, error); });
  });
}

void WebSocketRelayClient::joinCompleted(const std::shared_ptr<WebSocketTask>& task,
                                         const std::optional<std::string>& error) {
  if (task != task_) return;  // a connection that has since been replaced
  connecting_ = false;
  if (error) {
    say("RELAY: \u274C join failed: " + *error);
    print_("[RelayClient-Mac] Join failed: " + *error);
    connectionDropped();
    return;
  }
  setMainState(State::connected);
  lastAlive_ = runtime_.clock->monotonic();
  say("RELAY: \u2705 connected + join sent");
  pingTimer_.cancel();
  pingTimer_ = every(timing_.pingPeriod, &WebSocketRelayClient::ping);
  resendTimer_.cancel();
  resendTimer_ = every(timing_.resendPeriod, &WebSocketRelayClient::resendPending);
  resendPending();
  listen(task);
}

void WebSocketRelayClient::listen(const std::shared_ptr<WebSocketTask>& task) {
  // The task keeps this reader until it fails or delivers a frame: holding the
  // task only weakly here keeps the two from keeping each other alive.
  task->receive([weak = weak_from_this(), weakTask = std::weak_ptr<WebSocketTask>(task)](
                    std::optional<WebSocketFrame> frame, std::string error) {
    auto self = weak.lock();
    auto task = weakTask.lock();
    if (!self || !task) return;
    self->onMain([task, frame = std::move(frame), error = std::move(error)](WebSocketRelayClient& s) {
      if (task != s.task_ || !s.running_) return;
      if (!frame) {
        s.print_("[RelayClient-Mac] Receive error: " + error);
        s.connectionDropped();
        return;
      }
      s.handleIncoming(*frame);
      if (task == s.task_) s.listen(task);
    });
  });
}

void WebSocketRelayClient::handleIncoming(const WebSocketFrame& frame) {
  lastAlive_ = runtime_.clock->monotonic();
  if (frame.binary || !key_) return;
  const auto msg = wire::decodeInbound(frame.payload);
  if (!msg) {
    print_("[RelayClient-Mac] Decrypt/parse error: invalid envelope");
    return;
  }
  if (msg->type == "joined") {
    const auto peers = msg->peers.value_or(0);
    peerConnected.set(peers > 1);
    if (peers >= 2) {
      resendPending();
      if (onPeerJoined) onPeerJoined();
    }
  } else if (msg->type == "peer_joined") {
    peerConnected.set(true);
    resendPending();
    if (onPeerJoined) onPeerJoined();
  } else if (msg->type == "peer_left") {
    peerConnected.set(false);
  } else if (msg->type == "message" && msg->data) {
    auto opened = wire::open(*key_, *msg->data);
    if (auto* error = std::get_if<wire::OpenError>(&opened)) {
      print_("[RelayClient-Mac] Decrypt/parse error: " + error->text);
      return;
    }
    peerConnected.set(true);
    const auto payload = wire::classify(std::get<std::string>(opened));
    if (auto* ack = std::get_if<wire::Ack>(&payload)) {
      if (onAck) onAck(ack->ackId);
    } else if (auto* prompt = std::get_if<wire::Prompt>(&payload)) {
      if (onMessage) onMessage(prompt->target, prompt->text);
    }
  }
}

void WebSocketRelayClient::sendPayload(const std::string& plaintext, const char* errorPrefix) {
  const auto sealed = wire::seal(*key_, plaintext);
  if (sealed.empty()) {
    print_(std::string(errorPrefix) + "sealing failed");
    return;
  }
  task_->sendText(wire::encodeOutbound(sealed), [print = print_, errorPrefix](std::optional<std::string> error) {
    if (error) print(std::string(errorPrefix) + *error);
  });
}

void WebSocketRelayClient::sendResponse(const OutboxItem& item) {
  if (!key_ || !task_ || connectionState.get() != State::connected) return;
  sendPayload(wire::encodeResponsePayload(item), "[RelayClient-Mac] sendResponse error: ");
}

void WebSocketRelayClient::sendTabs(const std::vector<std::string>& tabs) {
  if (!key_ || !task_ || connectionState.get() != State::connected) return;
  sendPayload(wire::encodeTabsPayload(tabs), "[RelayClient-Mac] sendTabs error: ");
}

void WebSocketRelayClient::resendPending() {
  if (connectionState.get() != State::connected) return;
  const auto items = pendingProvider ? pendingProvider() : std::vector<OutboxItem>{};
  for (const auto& item : items) sendResponse(item);
}

void WebSocketRelayClient::ping() {
  if (!task_) return;
  task_->sendPing([weak = weak_from_this(), weakTask = std::weak_ptr(task_)](std::optional<std::string> error) {
    auto self = weak.lock();
    auto task = weakTask.lock();
    if (!self || !task) return;
    self->onMain([task, error](WebSocketRelayClient& s) {
      if (task != s.task_) return;
      if (!error) {
        s.lastAlive_ = s.runtime_.clock->monotonic();
        return;
      }
      s.say("RELAY: ping failed (" + *error + ") \u2014 reconnecting");
      s.connectionDropped();
    });
  });
}

void WebSocketRelayClient::watchdogTick() {
  if (!running_) return;
  const double idle = std::chrono::duration<double>(runtime_.clock->monotonic() - lastAlive_).count();
  if (!task_ || idle > timing_.idleLimit) {
    say("RELAY: watchdog forcing reconnect (idle " + std::to_string(static_cast<long long>(idle)) + "s)");
    forceReconnect();
  }
}

void WebSocketRelayClient::forceReconnect() {
  if (task_) {
    task_->cancel(1006);
    task_.reset();
  }
  connecting_ = false;
  pingTimer_.cancel();
  resendTimer_.cancel();
  setMainState(State::disconnected);
  connect();
}

void WebSocketRelayClient::connectionDropped() {
  pingTimer_.cancel();
  resendTimer_.cancel();
  connecting_ = false;
  setMainState(State::disconnected);
  // Close what is left of the old connection so it cannot linger.
  if (task_) task_->cancel(1006);
  task_.reset();
  if (!running_) return;
  say("RELAY: \u26A0\uFE0F dropped \u2014 reconnecting in 2s");
  runtime_.main->postAfter(Seconds(timing_.reconnectDelay), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->connect();
  });
}

}  // namespace deskwave
