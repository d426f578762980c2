#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "classifier.h"

namespace boost::asio {
class io_context;
}

namespace deskwave::relay {

struct Limits {
  std::size_t maxFrameBytes = 1024 * 1024;
  std::size_t maxMembersPerRoom = 8;
  std::size_t maxRooms = 10000;
  double joinTimeoutSeconds = 10;      // a connection that has not joined by then is closed
  double messagesPerSecond = 20;       // sustained rate per connection
  double messageBurst = 60;            // messages a connection may send at once
  std::size_t maxQueuedFrames = 512;   // a member that reads slower than this is dropped
};

// The relay: WebSocket rooms whose members forward sealed messages to each
// other, and the "/scan" classification endpoint. Single-threaded: run it on
// one io_context.
class RelayService {
 public:
  using Log = std::function<void(const std::string&)>;

  // Listens on `address`:`port` (0 picks a free port); throws on failure.
  RelayService(boost::asio::io_context& io, const std::string& address, std::uint16_t port, Limits limits,
               Classifier classifier, Log log);
  ~RelayService();

  std::uint16_t port() const;
  std::size_t roomCount() const;

  struct Impl;  // shared with the connections

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace deskwave::relay
