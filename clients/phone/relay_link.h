#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/executor.h"
#include "platform/websocket_client.h"
#include "relay/pairing_manager.h"

namespace deskwave::phone {

// The phone's side of the relay: joins the room derived from the pairing
// secret, exactly as the desktop derives it, and exchanges payloads sealed
// under the key derived from the same secret.
class RelayLink {
 public:
  RelayLink(std::shared_ptr<WebSocketClient> client, std::string url, const std::string& secret);
  ~RelayLink();
  RelayLink(const RelayLink&) = delete;
  RelayLink& operator=(const RelayLink&) = delete;

  // Opens the connection and joins the room; throws PhoneError when the relay
  // cannot be reached or does not confirm within `timeout`. Returns the
  // number of room members (this link included) the relay reported.
  int connect(Seconds timeout);
  // Seals and sends one payload; throws PhoneError when it cannot be sent.
  void send(const std::string& plaintext);

  struct Next {
    enum Kind { Payload, TimedOut, Disconnected } kind = TimedOut;
    std::string payload;  // the opened plaintext of a payload
  };
  // The next opened payload from the room. Frames that are not sealed
  // messages for this key are skipped (with a note on standard error).
  Next next(Seconds timeout);

  const std::string& url() const { return url_; }

  // What the connection has received so far (shared with its receive handler).
  struct Frames;

 private:
  std::optional<std::string> nextFrame(Seconds timeout, bool& ended);
  void close();

  std::shared_ptr<WebSocketClient> client_;
  std::string url_;
  std::string room_;
  SymmetricKey key_{};
  std::shared_ptr<WebSocketTask> task_;
  std::shared_ptr<Frames> frames_;
};

}  // namespace deskwave::phone
