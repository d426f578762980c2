#include "platform/websocket_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <variant>

namespace deskwave {

std::optional<ParsedUrl> parseUrl(const std::string& url) {
  ParsedUrl out;
  std::string rest;
  for (const auto& [scheme, tls, port] : {std::tuple{"ws://", false, "80"}, std::tuple{"wss://", true, "443"},
                                          std::tuple{"http://", false, "80"}, std::tuple{"https://", true, "443"}}) {
    if (url.rfind(scheme, 0) == 0) {
      out.tls = tls;
      out.port = port;
      rest = url.substr(std::string_view(scheme).size());
      break;
    }
  }
  if (out.port.empty() || rest.empty()) return std::nullopt;
  const auto slash = rest.find_first_of("/?");
  auto authority = rest.substr(0, slash);
  out.target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (out.target.front() == '?') out.target.insert(0, "/");
  if (!authority.empty() && authority.front() == '[') {  // [IPv6]:port
    const auto close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    out.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return std::nullopt;
      out.port = authority.substr(close + 2);
    }
  } else {
    const auto colon = authority.rfind(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string::npos) out.port = authority.substr(colon + 1);
  }
  if (out.host.empty() || out.port.empty() || out.port.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return out;
}

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using PlainStream = websocket::stream<beast::tcp_stream>;
using TlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

class BeastTask final : public WebSocketTask, public std::enable_shared_from_this<BeastTask> {
 public:
  BeastTask(asio::thread_pool& pool, ParsedUrl url, std::shared_ptr<asio::ssl::context> tls)
      : strand_(asio::make_strand(pool)), resolver_(strand_), url_(std::move(url)), tls_(std::move(tls)) {
    if (url_.tls) stream_.emplace<TlsStream>(strand_, *tls_);
    else stream_.emplace<PlainStream>(strand_);
  }

  void start() {
    asio::post(strand_, [self = shared_from_this()] { self->resolve(); });
  }

  void sendText(std::string text, Done done) override {
    asio::post(strand_, [self = shared_from_this(), text = std::move(text), done = std::move(done)]() mutable {
      self->queue(Write{false, std::move(text), std::move(done)});
    });
  }

  void sendPing(Done onPong) override {
    asio::post(strand_, [self = shared_from_this(), onPong = std::move(onPong)]() mutable {
      self->queue(Write{true, {}, std::move(onPong)});
    });
  }

  void receive(std::function<void(std::optional<WebSocketFrame>, std::string)> handler) override {
    asio::post(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
      if (!self->failure_.empty()) return handler(std::nullopt, self->failure_);
      self->reader_ = std::move(handler);
      if (self->open_) self->readNext();
    });
  }

  // 1006 (abnormal closure) is never sent in a close frame: the socket is simply dropped.
  void cancel(std::uint16_t) override {
    asio::post(strand_, [self = shared_from_this()] { self->fail("cancelled"); });
  }

 private:
  struct Write {
    bool ping;
    std::string text;
    Done done;
  };

  template <class F>
  void visit(F&& f) {
    std::visit([&](auto& ws) {
      if constexpr (!std::is_same_v<std::decay_t<decltype(ws)>, std::monostate>) f(ws);
    }, stream_);
  }

  void resolve() {
    resolver_.async_resolve(url_.host, url_.port, [self = shared_from_this()](beast::error_code ec,
                                                                               tcp::resolver::results_type results) {
      if (ec) return self->fail("resolve: " + ec.message());
      self->visit([&](auto& ws) {
        auto& layer = beast::get_lowest_layer(ws);
        layer.expires_after(std::chrono::seconds(30));
        layer.async_connect(results, [self](beast::error_code ec, const tcp::endpoint&) {
          if (ec) return self->fail("connect: " + ec.message());
          self->secure();
        });
      });
    });
  }

  void secure() {
    if (auto* tls = std::get_if<TlsStream>(&stream_)) {
      if (!SSL_set_tlsext_host_name(tls->next_layer().native_handle(), url_.host.c_str()))
        return fail("TLS: cannot set server name");
      tls->next_layer().set_verify_callback(asio::ssl::host_name_verification(url_.host));
      tls->next_layer().async_handshake(asio::ssl::stream_base::client, [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->fail("TLS: " + ec.message());
        self->handshake();
      });
      return;
    }
    handshake();
  }

  void handshake() {
    visit([&](auto& ws) {
      beast::get_lowest_layer(ws).expires_never();
      ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
      ws.control_callback([self = weak_from_this()](websocket::frame_type kind, beast::string_view) {
        if (kind != websocket::frame_type::pong) return;
        if (auto s = self.lock()) s->pongArrived();
      });
      const auto host = url_.host + ":" + url_.port;
      ws.async_handshake(host, url_.target, [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->fail("handshake: " + ec.message());
        self->open_ = true;
        self->pump();
        if (self->reader_) self->readNext();
      });
    });
  }

  // A write after the connection failed fails at once: nothing would ever send it.
  void queue(Write write) {
    if (!failure_.empty()) {
      if (write.done) write.done(failure_);
      return;
    }
    writes_.push_back(std::move(write));
    pump();
  }

  void pump() {
    if (!open_ || writing_ || writes_.empty()) return;
    writing_ = true;
    auto& next = writes_.front();
    auto finished = [self = shared_from_this()](beast::error_code ec, std::size_t = 0) {
      self->writing_ = false;
      auto write = std::move(self->writes_.front());
      self->writes_.pop_front();
      if (ec) {
        if (write.done) write.done(ec.message());
      } else if (write.ping) {
        self->pongWaiters_.push_back(std::move(write.done));
      } else if (write.done) {
        write.done(std::nullopt);
      }
      self->pump();
    };
    visit([&](auto& ws) {
      if (next.ping) {
        ws.async_ping({}, [finished](beast::error_code ec) mutable { finished(ec); });
      } else {
        ws.text(true);
        ws.async_write(asio::buffer(next.text), finished);
      }
    });
  }

  void pongArrived() {
    auto waiters = std::move(pongWaiters_);
    pongWaiters_.clear();
    for (auto& w : waiters)
      if (w) w(std::nullopt);
  }

  void readNext() {
    if (reading_ || !reader_) return;
    reading_ = true;
    visit([&](auto& ws) {
      ws.async_read(buffer_, [self = shared_from_this(), &ws](beast::error_code ec, std::size_t) {
        self->reading_ = false;
        if (ec) return self->fail(ec == websocket::error::closed ? "closed by the server" : ec.message());
        WebSocketFrame frame{!ws.got_text(), beast::buffers_to_string(self->buffer_.data())};
        self->buffer_.consume(self->buffer_.size());
        // A cancel may have failed the waiting reader while this read completed.
        if (!self->failure_.empty() || !self->reader_) return;
        auto handler = std::move(self->reader_);
        self->reader_ = nullptr;
        handler(std::move(frame), {});
      });
    });
  }

  // Fails every waiting operation once; later calls fail at once.
  void fail(const std::string& why) {
    if (!failure_.empty()) return;
    failure_ = why;
    open_ = false;
    beast::error_code ignored;
    visit([&](auto& ws) { beast::get_lowest_layer(ws).socket().close(ignored); });
    auto writes = std::move(writes_);
    writes_.clear();
    for (auto& w : writes)
      if (w.done) w.done(why);
    auto waiters = std::move(pongWaiters_);
    pongWaiters_.clear();
    for (auto& w : waiters)
      if (w) w(why);
    if (reader_) {
      auto handler = std::move(reader_);
      reader_ = nullptr;
      handler(std::nullopt, why);
    }
  }

  asio::strand<asio::thread_pool::executor_type> strand_;
  tcp::resolver resolver_;
  ParsedUrl url_;
  std::shared_ptr<asio::ssl::context> tls_;
  std::variant<std::monostate, PlainStream, TlsStream> stream_;
  beast::flat_buffer buffer_;
  std::deque<Write> writes_;
  std::deque<Done> pongWaiters_;
  std::function<void(std::optional<WebSocketFrame>, std::string)> reader_;
  bool open_ = false;
  bool writing_ = false;
  bool reading_ = false;
  std::string failure_;
};

// A task for a URL that cannot be opened: every operation fails.
class FailedTask final : public WebSocketTask {
 public:
  explicit FailedTask(std::string why) : why_(std::move(why)) {}
  void sendText(std::string, Done done) override {
    if (done) done(why_);
  }
  void receive(std::function<void(std::optional<WebSocketFrame>, std::string)> handler) override {
    handler(std::nullopt, why_);
  }
  void sendPing(Done onPong) override {
    if (onPong) onPong(why_);
  }
  void cancel(std::uint16_t) override {}

 private:
  std::string why_;
};

class BeastClient final : public WebSocketClient {
 public:
  explicit BeastClient(asio::thread_pool& pool) : pool_(pool) {}

  std::shared_ptr<WebSocketTask> open(const std::string& url) override {
    auto parsed = parseUrl(url);
    if (!parsed) return std::make_shared<FailedTask>("bad URL: " + url);
    std::shared_ptr<asio::ssl::context> tls;
    if (parsed->tls) {
      tls = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
      tls->set_default_verify_paths();
      tls->set_verify_mode(asio::ssl::verify_peer);
    }
    auto task = std::make_shared<BeastTask>(pool_, std::move(*parsed), std::move(tls));
    task->start();
    return task;
  }

 private:
  asio::thread_pool& pool_;
};

}  // namespace

std::shared_ptr<WebSocketClient> makeBeastWebSocketClient(asio::thread_pool& pool) {
  return std::make_shared<BeastClient>(pool);
}

}  // namespace deskwave
