#include "relay_service.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

namespace deskwave::relay {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;

std::string shortRoom(const std::string& room) { return room.substr(0, 8) + "\u2026"; }

}  // namespace

class Member;

struct RelayService::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& io, Limits limits, Classifier classifier, Log log)
      : io(io), acceptor(io), limits(limits), classifier(std::move(classifier)), log(std::move(log)) {}

  void accept();
  void say(const std::string& line) {
    if (log) log(line);
  }

  asio::io_context& io;
  tcp::acceptor acceptor;
  Limits limits;
  Classifier classifier;
  Log log;
  std::map<std::string, std::set<std::shared_ptr<Member>>> rooms;
  std::vector<std::weak_ptr<Member>> everyone;  // for shutting down
  std::uint64_t nextId = 1;
};

// One WebSocket client.
class Member : public std::enable_shared_from_this<Member> {
 public:
  Member(std::shared_ptr<RelayService::Impl> service, websocket::stream<beast::tcp_stream> ws, std::string name)
      : service_(std::move(service)), ws_(std::move(ws)), joinTimer_(ws_.get_executor()), name_(std::move(name)),
        tokens_(service_->limits.messageBurst), lastRefill_(std::chrono::steady_clock::now()) {}

  void start(http::request<http::string_body> request) {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(service_->limits.maxFrameBytes);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->service_->say(self->name_ + " WebSocket handshake failed: " + ec.message());
      self->service_->say(self->name_ + " connected");
      self->joinTimer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(self->service_->limits.joinTimeoutSeconds)));
      self->joinTimer_.async_wait([weak = self->weak_from_this()](beast::error_code ec) {
        auto s = weak.lock();
        if (ec || !s || !s->room_.empty()) return;
        s->service_->say(s->name_ + " closed: did not join in time");
        s->close(websocket::close_code::policy_error);
      });
      self->read();
    });
  }

  // Drops the connection at once (the service is going away).
  void shutdown() {
    done_ = true;
    room_.clear();
    joinTimer_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  void send(std::shared_ptr<const std::string> text) {
    if (closing_) return;
    if (queue_.size() >= service_->limits.maxQueuedFrames) {
      service_->say(name_ + " dropped: not reading its messages");
      return close(websocket::close_code::policy_error);
    }
    queue_.push_back(std::move(text));
    if (queue_.size() == 1) writeNext();
  }

 private:
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->gone(ec == websocket::error::closed ? "closed" : "closed: " + ec.message());
      std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      if (!self->ws_.got_text()) self->service_->say(self->name_ + " binary frame dropped");
      else self->handle(text);
      self->read();
    });
  }

  bool withinRate() {
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - lastRefill_).count();
    lastRefill_ = now;
    tokens_ = std::min(service_->limits.messageBurst, tokens_ + elapsed * service_->limits.messagesPerSecond);
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
  }

  void handle(const std::string& text) {
    if (!withinRate()) return service_->say(name_ + " over its message rate: frame dropped");
    const auto j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("type") || !j["type"].is_string())
      return service_->say(name_ + " malformed frame dropped");
    const auto type = j["type"].get<std::string>();
    if (type == "join") {
      if (!j.contains("roomId") || !j["roomId"].is_string() || j["roomId"].get<std::string>().empty() ||
          j["roomId"].get<std::string>().size() > 128)
        return service_->say(name_ + " join without a valid roomId dropped");
      join(j["roomId"].get<std::string>());
    } else if (type == "message") {
      if (room_.empty()) return service_->say(name_ + " message before joining dropped");
      auto shared = std::make_shared<const std::string>(text);  // forwarded unchanged
      for (const auto& other : service_->rooms[room_])
        if (other.get() != this) other->send(shared);
    } else {
      service_->say(name_ + " frame of unknown type dropped");
    }
  }

  void join(const std::string& room) {
    if (room == room_) return;
    auto& rooms = service_->rooms;
    const bool exists = rooms.count(room) > 0;
    if (!exists && rooms.size() >= service_->limits.maxRooms) return refuse("too many rooms");
    if (exists && rooms[room].size() >= service_->limits.maxMembersPerRoom) return refuse("room full");
    leave();
    room_ = room;
    joinTimer_.cancel();
    auto& members = rooms[room];
    const auto notice = std::make_shared<const std::string>(R"({"type":"peer_joined"})");
    for (const auto& other : members) other->send(notice);
    members.insert(shared_from_this());
    send(std::make_shared<const std::string>(Json{{"type", "joined"}, {"peers", members.size()}}.dump()));
    service_->say(name_ + " joined room " + shortRoom(room) + " (" + std::to_string(members.size()) + " members)");
  }

  void refuse(const std::string& why) {
    service_->say(name_ + " join refused: " + why);
    send(std::make_shared<const std::string>(Json{{"type", "error"}, {"error", why}}.dump()));
    closeAfterWrites_ = true;
  }

  void leave() {
    if (room_.empty()) return;
    auto it = service_->rooms.find(room_);
    if (it != service_->rooms.end()) {
      it->second.erase(shared_from_this());
      const auto notice = std::make_shared<const std::string>(R"({"type":"peer_left"})");
      for (const auto& other : it->second) other->send(notice);
      service_->say(name_ + " left room " + shortRoom(room_) + " (" + std::to_string(it->second.size()) + " members)");
      if (it->second.empty()) service_->rooms.erase(it);
    }
    room_.clear();
  }

  void writeNext() {
    ws_.text(true);
    ws_.async_write(asio::buffer(*queue_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->queue_.pop_front();
      if (ec) return self->gone("closed: " + ec.message());
      if (!self->queue_.empty()) return self->writeNext();
      if (self->closeAfterWrites_) self->close(websocket::close_code::policy_error);
    });
  }

  void close(websocket::close_code code) {
    if (closing_) return;
    closing_ = true;
    joinTimer_.cancel();
    ws_.async_close(code, [self = shared_from_this()](beast::error_code) { self->gone("closed"); });
  }

  void gone(const std::string& why) {
    if (done_) return;
    done_ = true;
    joinTimer_.cancel();
    leave();
    service_->say(name_ + " " + why);
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

  std::shared_ptr<RelayService::Impl> service_;
  websocket::stream<beast::tcp_stream> ws_;
  asio::steady_timer joinTimer_;
  std::string name_;
  beast::flat_buffer buffer_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  std::string room_;
  double tokens_;
  std::chrono::steady_clock::time_point lastRefill_;
  bool closing_ = false;
  bool closeAfterWrites_ = false;
  bool done_ = false;
};

namespace {

// Reads one HTTP request; upgrades WebSocket requests, answers the rest.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(std::shared_ptr<RelayService::Impl> service, tcp::socket socket, std::string name)
      : service_(std::move(service)), stream_(std::move(socket)), name_(std::move(name)) {}

  void start() {
    parser_.body_limit(1024 * 1024);
    stream_.expires_after(std::chrono::seconds(30));
    http::async_read(stream_, buffer_, parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      self->route();
    });
  }

 private:
  void route() {
    auto request = parser_.release();
    if (websocket::is_upgrade(request)) {
      stream_.expires_never();
      auto member = std::make_shared<Member>(service_, websocket::stream<beast::tcp_stream>(std::move(stream_)), name_);
      std::erase_if(service_->everyone, [](const std::weak_ptr<Member>& m) { return m.expired(); });
      service_->everyone.push_back(member);
      member->start(std::move(request));
      return;
    }
    if (request.target() == "/scan" && request.method() == http::verb::post) return scan(request);
    if (request.target() == "/health") return reply(http::status::ok, R"({"status":"ok"})");
    reply(http::status::not_found, R"({"error":"not found"})");
  }

  void scan(const http::request<http::string_body>& request) {
    const auto j = Json::parse(request.body(), nullptr, false);
    std::vector<std::string> names;
    bool valid = j.is_object() && j.contains("names") && j["names"].is_array();
    if (valid) {
      for (const auto& n : j["names"]) {
        if (!n.is_string()) valid = false;
        else names.push_back(n.get<std::string>());
      }
    }
    if (!valid) return reply(http::status::bad_request, R"({"error":"invalid json"})");
    const auto tools = service_->classifier.classify(names);
    service_->say(name_ + " scan: " + std::to_string(names.size()) + " names, " + std::to_string(tools.size()) +
                  " AI tools");
    reply(http::status::ok, Json{{"tools", tools}}.dump(-1, ' ', false, Json::error_handler_t::replace));
  }

  void reply(http::status status, std::string body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "application/json");
    response->keep_alive(false);
    response->body() = std::move(body);
    response->prepare_payload();
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code, std::size_t) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    });
  }

  std::shared_ptr<RelayService::Impl> service_;
  beast::tcp_stream stream_;
  std::string name_;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
};

}  // namespace

void RelayService::Impl::accept() {
  acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      beast::error_code ignored;
      const auto peer = socket.remote_endpoint(ignored);
      const auto name = "#" + std::to_string(self->nextId++) + " " + peer.address().to_string() + ":" +
                        std::to_string(peer.port());
      std::make_shared<HttpConnection>(self, std::move(socket), name)->start();
    }
    self->accept();
  });
}

RelayService::RelayService(asio::io_context& io, const std::string& address, std::uint16_t port, Limits limits,
                           Classifier classifier, Log log)
    : impl_(std::make_shared<Impl>(io, limits, std::move(classifier), std::move(log))) {
  const tcp::endpoint endpoint(asio::ip::make_address(address), port);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen(asio::socket_base::max_listen_connections);
  impl_->accept();
}

RelayService::~RelayService() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->rooms.clear();
  for (const auto& weak : impl_->everyone)
    if (auto member = weak.lock()) member->shutdown();
}

std::uint16_t RelayService::port() const { return impl_->acceptor.local_endpoint().port(); }
std::size_t RelayService::roomCount() const { return impl_->rooms.size(); }

}  // namespace deskwave::relay
