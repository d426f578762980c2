#include "local/local_server.h"

#include "platform/console.h"

namespace deskwave {

// One connection and the bytes it has sent so far.
struct LocalServer::Session {
  std::shared_ptr<TcpConnection> connection;
  std::string buffer;
  TaskHandle timeout;
};

std::shared_ptr<LocalServer> LocalServer::create(Runtime runtime, boost::asio::thread_pool& io,
                                                 std::shared_ptr<ServiceAdvertiser> advertiser, Options options,
                                                 Print print) {
  if (!print) print = [](const std::string& line) { printLine(line); };
  return std::shared_ptr<LocalServer>(
      new LocalServer(std::move(runtime), io, std::move(advertiser), options, std::move(print)));
}

LocalServer::LocalServer(Runtime runtime, boost::asio::thread_pool& io, std::shared_ptr<ServiceAdvertiser> advertiser,
                         Options options, Print print)
    : runtime_(std::move(runtime)), io_(io), advertiser_(std::move(advertiser)), options_(options),
      print_(std::move(print)) {}

LocalServer::~LocalServer() {
  std::lock_guard lock(listenerMutex_);
  if (listener_) listener_->stop();
}

void LocalServer::start() {
  std::string error;
  TcpServer::Options tcp{options_.port, options_.maxConnections, options_.loopbackOnly};
  auto listener = TcpServer::listen(
      io_, tcp,
      [weak = weak_from_this()](std::shared_ptr<TcpConnection> connection) {
        if (auto self = weak.lock()) self->accept(std::move(connection));
      },
      error);
  if (!listener) {
    print_("HTTPServer: failed to create listener: " + error);
    return;
  }
  const auto port = listener->port();
  {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
  }
  print_("HTTPServer state: ready");
  if (advertiser_) advertiser_->advertise(kServiceName, kServiceType, port);
}

std::optional<std::uint16_t> LocalServer::port() const {
  std::lock_guard lock(listenerMutex_);
  if (!listener_) return std::nullopt;
  return listener_->port();
}

void LocalServer::accept(std::shared_ptr<TcpConnection> connection) {
  auto session = std::make_shared<Session>();
  session->connection = connection;
  // A client that does not deliver a complete request in time is let go.
  std::weak_ptr<TcpConnection> weakConnection = connection;
  session->timeout = runtime_.userInitiated->postAfter(Seconds(options_.requestTimeout), [weakConnection] {
    if (auto c = weakConnection.lock()) c->close();
  });
  readMore(std::move(session));
}

void LocalServer::readMore(std::shared_ptr<Session> session) {
  auto connection = session->connection;
  connection->read(kReadChunk, [weak = weak_from_this(), session](std::string bytes, bool peerDone) {
    auto self = weak.lock();
    if (!self) return;  // the connection goes with the server
    session->buffer += bytes;
    auto frame = frameRequest(session->buffer, peerDone);
    switch (frame.status) {
      case FrameStatus::needMore:
        self->readMore(session);
        break;
      case FrameStatus::drop:
        session->timeout.cancel();
        session->connection->close();
        break;
      case FrameStatus::reject:
        respond(session, frame.rejection);
        break;
      case FrameStatus::ready:
        session->buffer.clear();
        session->buffer.shrink_to_fit();
        respond(session, self->handle(frame.request));
        break;
    }
  });
}

void LocalServer::respond(const std::shared_ptr<Session>& session, const LocalResponse& response) {
  session->timeout.cancel();
  session->connection->write(serializeResponse(response), [session] { session->connection->close(); });
}

void LocalServer::postToMain(std::function<void(LocalServer&)> work) {
  runtime_.main->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

// ---- State operations used by the bridge ----

void LocalServer::startTurn(const std::string& tab) { activity_.startTurn(tab, runtime_.clock->now()); }

void LocalServer::setSuppressed(const std::string& tab, bool on) {
  activity_.setSuppressed(tab, on, runtime_.clock->now());
}

void LocalServer::updatePartial(const std::string& tab, const std::optional<std::string>& text) {
  activity_.updatePartial(tab, text);
}

void LocalServer::filePermission(PermissionEntry entry) { permissions_.file(std::move(entry)); }

void LocalServer::permClearQuestions() { permissions_.clearQuestions(); }

}  // namespace deskwave
