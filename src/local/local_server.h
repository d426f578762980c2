#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "local/activity_table.h"
#include "local/http_framing.h"
#include "local/http_server.h"
#include "local/permission_table.h"
#include "platform/runtime.h"
#include "platform/service_advertiser.h"
#include "platform/tcp_server.h"

namespace deskwave {

// The local link: an HTTP/1.1 server for the phone and the hook scripts, one
// request and one JSON answer per connection, advertised by DNS-SD.
class LocalServer final : public HTTPServer, public std::enable_shared_from_this<LocalServer> {
 public:
  static constexpr std::uint16_t kPort = 8765;
  static constexpr const char* kServiceName = "Deskwave";
  static constexpr const char* kServiceType = "_deskwave._tcp";
  static constexpr std::size_t kReadChunk = 65536;
  static constexpr double kLatePermissionCheck = 1.8;

  struct Options {
    std::uint16_t port = kPort;
    bool loopbackOnly = false;
    double requestTimeout = 30.0;  // seconds to deliver a complete request
    std::size_t maxConnections = 256;
  };
  using Print = std::function<void(const std::string&)>;

  // `io` runs the sockets; timers and posted hooks use `runtime`. `advertiser`
  // may be null (no DNS-SD). `print` receives the plain status lines (standard
  // output by default).
  static std::shared_ptr<LocalServer> create(Runtime runtime, boost::asio::thread_pool& io,
                                             std::shared_ptr<ServiceAdvertiser> advertiser, Options options,
                                             Print print = {});
  ~LocalServer() override;

  void start() override;
  void startTurn(const std::string& tab) override;
  void setSuppressed(const std::string& tab, bool on) override;
  void updatePartial(const std::string& tab, const std::optional<std::string>& text) override;
  void filePermission(PermissionEntry entry) override;
  void permClearQuestions() override;
  void setPaused(bool paused) override { paused_.store(paused); }

  // The port listened on, once started.
  std::optional<std::uint16_t> port() const;

  // The endpoint layer: answers one framed request. Runs on connection threads.
  LocalResponse handle(const LocalRequest& request);

  PermissionTable& permissions() { return permissions_; }
  ActivityTable& activity() { return activity_; }

 private:
  struct Session;
  LocalServer(Runtime runtime, boost::asio::thread_pool& io, std::shared_ptr<ServiceAdvertiser> advertiser,
              Options options, Print print);

  void accept(std::shared_ptr<TcpConnection> connection);
  void readMore(std::shared_ptr<Session> session);
  static void respond(const std::shared_ptr<Session>& session, const LocalResponse& response);

  LocalResponse respondWithTabs();
  LocalResponse respondWithResponses();
  LocalResponse respondPermPoll();
  LocalResponse respondStatus();
  LocalResponse respondPermResult(const std::string& path);
  LocalResponse processBody(const std::string& body, const std::string& path);
  // Runs `work` on the main thread while the server exists.
  void postToMain(std::function<void(LocalServer&)> work);

  Runtime runtime_;
  boost::asio::thread_pool& io_;
  std::shared_ptr<ServiceAdvertiser> advertiser_;
  Options options_;
  Print print_;
  PermissionTable permissions_;
  ActivityTable activity_;
  std::atomic<bool> paused_{false};
  mutable std::mutex listenerMutex_;
  std::shared_ptr<TcpServer> listener_;
};

}  // namespace deskwave
