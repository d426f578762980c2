#include "platform/tcp_server.h"

#include <atomic>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <mutex>

namespace deskwave {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class AsioTcpServer;

class AsioTcpConnection final : public TcpConnection, public std::enable_shared_from_this<AsioTcpConnection> {
 public:
  AsioTcpConnection(tcp::socket socket, std::shared_ptr<AsioTcpServer> server);
  ~AsioTcpConnection() override;

  void read(std::size_t maxBytes, std::function<void(std::string, bool)> handler) override {
    auto buffer = std::make_shared<std::string>(std::max<std::size_t>(maxBytes, 1), '\0');
    asio::post(strand_, [self = shared_from_this(), buffer, handler = std::move(handler)]() mutable {
      self->socket_.async_read_some(
          asio::buffer(*buffer),
          asio::bind_executor(self->strand_, [self, buffer, handler = std::move(handler)](
                                                 const boost::system::error_code& ec, std::size_t n) {
            buffer->resize(n);
            handler(std::move(*buffer), static_cast<bool>(ec));
          }));
    });
  }

  void write(std::string bytes, std::function<void()> done) override {
    auto data = std::make_shared<std::string>(std::move(bytes));
    asio::post(strand_, [self = shared_from_this(), data, done = std::move(done)]() mutable {
      asio::async_write(self->socket_, asio::buffer(*data),
                        asio::bind_executor(self->strand_, [self, data, done = std::move(done)](
                                                               const boost::system::error_code&, std::size_t) {
                          if (done) done();
                        }));
    });
  }

  void close() override {
    asio::post(strand_, [self = shared_from_this()] {
      boost::system::error_code ignored;
      self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
      self->socket_.close(ignored);
    });
  }

 private:
  asio::any_io_executor strand_;  // the socket's own strand
  tcp::socket socket_;
  std::shared_ptr<AsioTcpServer> server_;
};

class AsioTcpServer final : public TcpServer, public std::enable_shared_from_this<AsioTcpServer> {
 public:
  AsioTcpServer(asio::thread_pool& pool, Options options, ConnectionHandler onConnection)
      : pool_(pool), strand_(asio::make_strand(pool)), acceptor_(strand_), options_(options),
        onConnection_(std::move(onConnection)) {}

  bool open(std::string& error) {
    boost::system::error_code ec;
    if (options_.loopbackOnly) {
      bind(tcp::endpoint(asio::ip::address_v4::loopback(), options_.port), false, ec);
    } else {
      // All interfaces, IPv6 and IPv4 on one socket; IPv4 alone where IPv6 is off.
      acceptor_.open(tcp::v6(), ec);
      const bool haveV6 = !ec;
      acceptor_.close(ec);
      bind(haveV6 ? tcp::endpoint(asio::ip::address_v6::any(), options_.port)
                  : tcp::endpoint(asio::ip::address_v4::any(), options_.port),
           haveV6, ec);
    }
    if (ec) {
      error = ec.message();
      return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    return true;
  }

  void startAccepting() {
    asio::post(strand_, [self = shared_from_this()] { self->acceptNext(); });
  }

  std::uint16_t port() const override { return port_; }
  std::size_t openConnections() const override { return open_.load(); }

  void stop() override {
    asio::post(strand_, [self = shared_from_this()] {
      self->stopped_ = true;
      boost::system::error_code ignored;
      self->acceptor_.close(ignored);
    });
  }

  // Called when a connection object goes away: accepting resumes below the limit.
  void connectionClosed() {
    open_.fetch_sub(1);
    asio::post(strand_, [self = shared_from_this()] {
      if (self->waitingForRoom_ && self->open_.load() < self->options_.maxConnections) {
        self->waitingForRoom_ = false;
        self->acceptNext();
      }
    });
  }

 private:
  bool bind(const tcp::endpoint& endpoint, bool dualStack, boost::system::error_code& ec) {
    acceptor_.close(ec);
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) return false;
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (dualStack) acceptor_.set_option(asio::ip::v6_only(false), ec);
    acceptor_.bind(endpoint, ec);
    if (ec) return false;
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    return !ec;
  }

  void acceptNext() {
    if (stopped_) return;
    if (open_.load() >= options_.maxConnections) {
      waitingForRoom_ = true;  // the kernel keeps further clients in the backlog
      return;
    }
    acceptor_.async_accept(asio::make_strand(pool_), [self = shared_from_this()](
                                                         const boost::system::error_code& ec, tcp::socket socket) {
      if (self->stopped_) return;
      if (!ec) {
        self->open_.fetch_add(1);
        auto connection = std::make_shared<AsioTcpConnection>(std::move(socket), self);
        if (self->onConnection_) self->onConnection_(connection);
      }
      self->acceptNext();
    });
  }

  asio::thread_pool& pool_;
  asio::strand<asio::thread_pool::executor_type> strand_;
  tcp::acceptor acceptor_;
  Options options_;
  ConnectionHandler onConnection_;
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> open_{0};
  bool waitingForRoom_ = false;  // strand only
  bool stopped_ = false;         // strand only
};

AsioTcpConnection::AsioTcpConnection(tcp::socket socket, std::shared_ptr<AsioTcpServer> server)
    : strand_(socket.get_executor()), socket_(std::move(socket)), server_(std::move(server)) {}

AsioTcpConnection::~AsioTcpConnection() {
  if (server_) server_->connectionClosed();
}

}  // namespace

std::shared_ptr<TcpServer> TcpServer::listen(asio::thread_pool& pool, Options options, ConnectionHandler onConnection,
                                             std::string& error) {
  auto server = std::make_shared<AsioTcpServer>(pool, options, std::move(onConnection));
  if (!server->open(error)) return nullptr;
  server->startAccepting();
  return server;
}

}  // namespace deskwave
