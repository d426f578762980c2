#include "accounts_http_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "platform/uuid.h"

namespace deskwave::accounts {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::string_view kTargetPrefix = "AWSCognitoIdentityProviderService.";
constexpr std::size_t kMaxBodyBytes = 64 * 1024;

}  // namespace

struct AccountsHttpServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& io, Handler handler, Log log)
      : acceptor(io), handler(std::move(handler)), log(std::move(log)) {}

  void accept();
  void say(const std::string& line) {
    if (log) log(line);
  }

  tcp::acceptor acceptor;
  Handler handler;
  Log log;
  std::uint64_t nextId = 1;
};

namespace {

// One client connection: requests are answered in turn until either side closes.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<AccountsHttpServer::Impl> server, tcp::socket socket, std::string name)
      : server_(std::move(server)), stream_(std::move(socket)), name_(std::move(name)) {}

  void read() {
    parser_.emplace();
    parser_->body_limit(kMaxBodyBytes);
    stream_.expires_after(std::chrono::seconds(30));
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec == http::error::body_limit) return self->refuse(http::status::payload_too_large, "Request too large.");
      if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
          ec == asio::error::connection_reset)
        return self->close();
      if (ec) return self->refuse(http::status::bad_request, "Malformed HTTP request.");
      self->route(self->parser_->release());
    });
  }

 private:
  void route(const http::request<http::string_body>& request) {
    const bool keepAlive = request.keep_alive();
    if (request.target() != "/") return answer({404, errorBody("UnknownOperationException", "Not found.")}, false, "");
    if (request.method() != http::verb::post)
      return answer({405, errorBody("UnknownOperationException", "Only POST is served.")}, false, "");
    const auto header = request["X-Amz-Target"];
    const std::string target(header.data(), header.size());
    if (target.rfind(kTargetPrefix, 0) != 0)
      return answer({400, errorBody("UnknownOperationException", "Unknown operation " + forLog(target) + ".")},
                    keepAlive, target);
    const std::string action = target.substr(kTargetPrefix.size());
    answer(server_->handler(action, request.body()), keepAlive, action);
  }

  static nlohmann::json errorBody(const char* type, const std::string& message) {
    return {{"__type", type}, {"message", message}};
  }

  void refuse(http::status status, const char* message) {
    answer({static_cast<int>(status), errorBody("SerializationException", message)}, false, "");
  }

  void answer(const ServiceReply& reply, bool keepAlive, const std::string& action) {
    const auto type = reply.errorType();
    server_->say(name_ + " " + (action.empty() ? std::string("-") : forLog(action)) + " " +
                 std::to_string(reply.status) + (type.empty() ? "" : " " + type));
    auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(reply.status), 11);
    response->set(http::field::content_type, "application/x-amz-json-1.1");
    response->set("x-amzn-RequestId", newUuid());
    response->keep_alive(keepAlive);
    response->body() = reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    response->prepare_payload();
    stream_.expires_after(std::chrono::seconds(30));
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, keepAlive](beast::error_code ec, std::size_t) {
                        if (!ec && keepAlive) return self->read();
                        self->close();
                      });
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  std::shared_ptr<AccountsHttpServer::Impl> server_;
  beast::tcp_stream stream_;
  std::string name_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void AccountsHttpServer::Impl::accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      beast::error_code ignored;
      const auto peer = socket.remote_endpoint(ignored);
      const auto name = "#" + std::to_string(self->nextId++) + " " + peer.address().to_string() + ":" +
                        std::to_string(peer.port());
      std::make_shared<Connection>(self, std::move(socket), name)->read();
    }
    self->accept();
  });
}

AccountsHttpServer::AccountsHttpServer(asio::io_context& io, const std::string& address, std::uint16_t port,
                                       Handler handler, Log log)
    : impl_(std::make_shared<Impl>(io, std::move(handler), std::move(log))) {
  const tcp::endpoint endpoint(asio::ip::make_address(address), port);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen(asio::socket_base::max_listen_connections);
  impl_->accept();
}

AccountsHttpServer::~AccountsHttpServer() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

std::uint16_t AccountsHttpServer::port() const { return impl_->acceptor.local_endpoint().port(); }

}  // namespace deskwave::accounts
