#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/websocket_client.h"

namespace deskwave::testing {

// A blocking WebSocket peer over the real Beast client: what a phone (or any
// relay member) does, driven step by step by a test.
class TestPeer {
 public:
  TestPeer(WebSocketClient& client, const std::string& url) : task_(client.open(url)), state_(std::make_shared<State>()) {
    listen(task_, state_);
  }
  ~TestPeer() { task_->cancel(1006); }

  bool send(const std::string& text) {
    auto done = std::make_shared<Waiter>();
    task_->sendText(text, [done](std::optional<std::string> error) { done->set(!error); });
    return done->wait();
  }

  // The next text frame, or nullopt on timeout or when the connection ended.
  std::optional<std::string> next(double seconds = 10) {
    std::unique_lock lock(state_->mutex);
    state_->cv.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return !state_->frames.empty() || state_->ended; });
    if (state_->frames.empty()) return std::nullopt;
    auto frame = std::move(state_->frames.front());
    state_->frames.pop_front();
    return frame;
  }

  // True once the connection has ended (within `seconds`).
  bool endedWithin(double seconds) {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return state_->ended; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> frames;
    bool ended = false;
  };
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<bool> result;
    void set(bool ok) {
      std::lock_guard lock(mutex);
      result = ok;
      cv.notify_all();
    }
    bool wait() {
      std::unique_lock lock(mutex);
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return result.has_value(); });
      return result.value_or(false);
    }
  };

  static void listen(std::shared_ptr<WebSocketTask> task, std::shared_ptr<State> state) {
    std::weak_ptr<WebSocketTask> weak = task;
    task->receive([weak, state](std::optional<WebSocketFrame> frame, std::string) {
      {
        std::lock_guard lock(state->mutex);
        if (frame) state->frames.push_back(frame->payload);
        else state->ended = true;
        state->cv.notify_all();
      }
      if (auto t = weak.lock(); t && frame) listen(t, state);
    });
  }

  std::shared_ptr<WebSocketTask> task_;
  std::shared_ptr<State> state_;
};

}  // namespace deskwave::testing
