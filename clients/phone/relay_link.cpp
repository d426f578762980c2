#include "relay_link.h"

#include <chrono>
#include <future>
#include <iostream>
#include <variant>

#include "phone_error.h"
#include "platform/crypto.h"
#include "relay/relay_wire.h"

namespace deskwave::phone {

// Frames received on the current connection, handed from the WebSocket's
// background thread to the command's thread.
struct RelayLink::Frames {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::string> queue;
  bool ended = false;
  std::string why;
};

namespace {

void listen(const std::shared_ptr<WebSocketTask>& task, std::shared_ptr<RelayLink::Frames> frames);

}  // namespace

RelayLink::RelayLink(std::shared_ptr<WebSocketClient> client, std::string url, const std::string& secret)
    : client_(std::move(client)),
      url_(std::move(url)),
      room_(PairingManager::roomId(secret)),
      key_(sha256(secret + PairingManager::keySuffix)) {}

RelayLink::~RelayLink() { close(); }

void RelayLink::close() {
  if (task_) task_->cancel(1000);
  task_.reset();
}

int RelayLink::connect(Seconds timeout) {
  close();
  frames_ = std::make_shared<Frames>();
  task_ = client_->open(url_);
  listen(task_, frames_);
  std::promise<std::optional<std::string>> sent;
  task_->sendText(wire::encodeJoin(room_), [&sent](std::optional<std::string> error) { sent.set_value(error); });
  if (auto error = sent.get_future().get()) throw PhoneError("cannot reach the relay at " + url_ + ": " + *error);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool ended = false;
    const Seconds left = deadline - std::chrono::steady_clock::now();
    auto frame = nextFrame(left, ended);
    if (ended) throw PhoneError("the relay at " + url_ + " closed the connection: " + frames_->why);
    if (!frame) throw PhoneError("the relay at " + url_ + " did not confirm joining the room");
    auto msg = wire::decodeInbound(*frame);
    if (msg && msg->type == "joined") return static_cast<int>(msg->peers.value_or(1));
    if (msg && msg->type == "error") throw PhoneError("the relay refused to join the room: " + *frame);
  }
}

void RelayLink::send(const std::string& plaintext) {
  if (!task_) throw PhoneError("not connected to the relay");
  const auto sealed = wire::seal(key_, plaintext);
  if (sealed.empty()) throw PhoneError("cannot seal the message");
  std::promise<std::optional<std::string>> sent;
  task_->sendText(wire::encodeOutbound(sealed),
                  [&sent](std::optional<std::string> error) { sent.set_value(error); });
  if (auto error = sent.get_future().get()) throw PhoneError("cannot send to the relay at " + url_ + ": " + *error);
}

RelayLink::Next RelayLink::next(Seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool ended = false;
    auto frame = nextFrame(deadline - std::chrono::steady_clock::now(), ended);
    if (ended) return {Next::Disconnected, {}};
    if (!frame) return {Next::TimedOut, {}};
    auto msg = wire::decodeInbound(*frame);
    if (!msg || msg->type != "message" || !msg->data) continue;  // room notices
    auto opened = wire::open(key_, *msg->data);
    if (auto* text = std::get_if<std::string>(&opened)) return {Next::Payload, std::move(*text)};
    std::cerr << "deskwave-phone: a relay message could not be opened (" << std::get<wire::OpenError>(opened).text
              << ")" << std::endl;
  }
}

std::optional<std::string> RelayLink::nextFrame(Seconds timeout, bool& ended) {
  if (!frames_) {
    ended = true;
    return std::nullopt;
  }
  std::unique_lock lock(frames_->mutex);
  frames_->arrived.wait_for(lock, std::max(timeout, Seconds(0)),
                            [&] { return !frames_->queue.empty() || frames_->ended; });
  if (!frames_->queue.empty()) {
    auto frame = std::move(frames_->queue.front());
    frames_->queue.pop_front();
    return frame;
  }
  ended = frames_->ended;
  return std::nullopt;
}

namespace {

void listen(const std::shared_ptr<WebSocketTask>& task, std::shared_ptr<RelayLink::Frames> frames) {
  std::weak_ptr<WebSocketTask> weak = task;
  task->receive([weak, frames](std::optional<WebSocketFrame> frame, std::string error) {
    {
      std::lock_guard lock(frames->mutex);
      if (frame) frames->queue.push_back(std::move(frame->payload));
      else {
        frames->ended = true;
        frames->why = error;
      }
    }
    frames->arrived.notify_all();
    if (auto t = weak.lock(); t && frame) listen(t, frames);
  });
}

}  // namespace
}  // namespace deskwave::phone
