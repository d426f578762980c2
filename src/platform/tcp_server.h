#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class thread_pool;
}

namespace deskwave {

// One accepted TCP connection. Handlers of one connection run one after the
// other on the server's pool; different connections run in parallel.
class TcpConnection {
 public:
  virtual ~TcpConnection() = default;
  // Reads at least one and at most `maxBytes` bytes. `peerDone` is true when the
  // peer finished sending or the read failed; `bytes` may then be empty.
  virtual void read(std::size_t maxBytes, std::function<void(std::string bytes, bool peerDone)> handler) = 0;
  // Writes all of `bytes`, then calls `done` (also when the write failed).
  virtual void write(std::string bytes, std::function<void()> done) = 0;
  // Closes the connection; safe from any thread, more than once.
  virtual void close() = 0;
};

// A listening TCP socket on all local interfaces (IPv6 and IPv4 where possible).
// At most `maxConnections` are open at once; further clients wait in the
// kernel's backlog until one closes.
class TcpServer {
 public:
  struct Options {
    std::uint16_t port = 0;  // 0 picks a free port
    std::size_t maxConnections = 256;
    bool loopbackOnly = false;
  };
  using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;

  // Null with `error` set when the socket cannot be created or bound.
  static std::shared_ptr<TcpServer> listen(boost::asio::thread_pool& pool, Options options,
                                           ConnectionHandler onConnection, std::string& error);
  virtual ~TcpServer() = default;
  virtual std::uint16_t port() const = 0;
  virtual std::size_t openConnections() const = 0;
  virtual void stop() = 0;
};

}  // namespace deskwave
