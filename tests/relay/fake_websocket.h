#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/websocket_client.h"

namespace deskwave::testing {

// A WebSocket connection driven by the test: sends complete at once (or fail
// when told to), frames and pongs arrive when the test delivers them.
class FakeWebSocketTask final : public WebSocketTask {
 public:
  void sendText(std::string text, Done done) override {
    sent.push_back(text);
    if (done) done(failSends);
  }
  void receive(std::function<void(std::optional<WebSocketFrame>, std::string)> handler) override {
    reader = std::move(handler);
  }
  void sendPing(Done onPong) override {
    ++pings;
    pongWaiter = std::move(onPong);
  }
  // Like a real connection, a cancelled one lets go of its waiting handlers.
  void cancel(std::uint16_t code) override {
    closeCode = code;
    if (cancelNeverRuns) return;
    reader = nullptr;
    pongWaiter = nullptr;
  }

  // Delivers a frame to the waiting reader; false when nobody is reading.
  bool deliver(std::string text, bool binary = false) {
    if (!reader) return false;
    auto r = std::move(reader);
    reader = nullptr;
    r(WebSocketFrame{binary, std::move(text)}, {});
    return true;
  }
  bool failReceive(const std::string& why) {
    if (!reader) return false;
    auto r = std::move(reader);
    reader = nullptr;
    r(std::nullopt, why);
    return true;
  }
  void pong(std::optional<std::string> error = std::nullopt) {
    if (auto w = std::move(pongWaiter)) w(error);
  }

  std::vector<std::string> sent;
  std::optional<std::string> failSends;
  std::function<void(std::optional<WebSocketFrame>, std::string)> reader;
  Done pongWaiter;
  int pings = 0;
  std::optional<std::uint16_t> closeCode;
  // Like a real connection whose runtime stops before its queued cancel runs:
  // the waiting handlers stay where they are.
  bool cancelNeverRuns = false;
};

class FakeWebSocketClient final : public WebSocketClient {
 public:
  std::shared_ptr<WebSocketTask> open(const std::string& url) override {
    urls.push_back(url);
    auto task = std::make_shared<FakeWebSocketTask>();
    task->failSends = nextFailure;
    tasks.push_back(task);
    return task;
  }
  std::vector<std::string> urls;
  std::vector<std::shared_ptr<FakeWebSocketTask>> tasks;
  std::optional<std::string> nextFailure;
};

}  // namespace deskwave::testing
