#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace boost::asio {
class thread_pool;
}

namespace deskwave {

struct WebSocketFrame {
  bool binary = false;
  std::string payload;
};

// One WebSocket connection, opened in the background as soon as it is created.
// Text sent before the connection is open waits for it (and fails if it cannot
// open). Completions arrive on a background thread.
class WebSocketTask {
 public:
  using Done = std::function<void(std::optional<std::string> error)>;
  virtual ~WebSocketTask() = default;

  virtual void sendText(std::string text, Done done) = 0;
  // The next frame, or an error text when the connection failed or closed.
  virtual void receive(std::function<void(std::optional<WebSocketFrame> frame, std::string error)> handler) = 0;
  // Sends a ping; `onPong` runs when the pong arrives (nullopt) or the ping fails.
  virtual void sendPing(Done onPong) = 0;
  // Ends the connection; pending operations fail. A close code of 1006 (abnormal
  // closure) drops the connection without a close frame.
  virtual void cancel(std::uint16_t closeCode) = 0;
};

class WebSocketClient {
 public:
  virtual ~WebSocketClient() = default;
  // `url` is "ws://host[:port][/path]" or "wss://…" (TLS with the system's CA store).
  virtual std::shared_ptr<WebSocketTask> open(const std::string& url) = 0;
};

std::shared_ptr<WebSocketClient> makeBeastWebSocketClient(boost::asio::thread_pool& pool);

struct ParsedUrl {
  bool tls = false;
  std::string host;
  std::string port;
  std::string target;  // path and query, "/" when empty
};
// Parses a ws://, wss://, http:// or https:// URL; nullopt when malformed.
std::optional<ParsedUrl> parseUrl(const std::string& url);

}  // namespace deskwave
