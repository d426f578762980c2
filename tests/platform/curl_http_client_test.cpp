// The libcurl client against a small HTTP/1.1 server of the test's own on loopback.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"

namespace deskwave::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Accepts connections one at a time, keeps each raw request and answers it with
// `response` (or keeps the connection open without a word when it is empty).
class OneShotServer {
 public:
  explicit OneShotServer(std::string response) : response_(std::move(response)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 8);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }

  std::string url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::string request() { return received_.get_future().get(); }

 private:
  void serve() {
    const int client = ::accept(fd_, nullptr, nullptr);
    if (client < 0) return;
    std::string in;
    char buf[4096];
    std::size_t need = std::string::npos;
    while (need == std::string::npos || in.size() < need) {
      const auto n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<std::size_t>(n));
      const auto end = in.find("\r\n\r\n");
      if (end != std::string::npos && need == std::string::npos) {
        const auto cl = in.find("Content-Length: ");
        need = end + 4 + (cl != std::string::npos && cl < end ? std::stoul(in.substr(cl + 16)) : 0);
      }
    }
    received_.set_value(in);
    if (!response_.empty()) ::send(client, response_.data(), response_.size(), MSG_NOSIGNAL);
    else ::recv(client, buf, sizeof buf, 0);  // silent until the client gives up
    ::close(client);
  }

  std::string response_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::promise<std::string> received_;
  std::thread thread_;
};

class CurlHttpClientTest : public ::testing::Test {
 protected:
  // Sends `request` and waits for its completion, which must come on the pool.
  HttpResult roundTrip(HttpRequest request) {
    std::promise<HttpResult> result;
    std::promise<std::thread::id> ranOn;
    client->send(std::move(request), runtime.runtime().background, [&](HttpResult r) {
      ranOn.set_value(std::this_thread::get_id());
      result.set_value(std::move(r));
    });
    auto r = result.get_future().get();
    EXPECT_NE(ranOn.get_future().get(), std::this_thread::get_id());
    return r;
  }

  AsioRuntime runtime{1};
  std::shared_ptr<HttpClient> client = makeCurlHttpClient();
};

TEST_F(CurlHttpClientTest, SendsTheRequestAsGivenAndReturnsStatusAndBody) {
  OneShotServer server("HTTP/1.1 400 Bad Request\r\nContent-Length: 15\r\nConnection: close\r\n\r\n{\"__type\":\"X\"}\n");
  HttpRequest request;
  request.url = server.url("/scan");
  request.headers = {{"Content-Type", "application/x-amz-json-1.1"}, {"X-Amz-Target", "Service.Action"}};
  request.body = R"({"names":["Cursor"]})";
  const auto result = roundTrip(request);
  ASSERT_TRUE(result.response) << result.error;
  EXPECT_EQ(result.response->status, 400);
  EXPECT_EQ(result.response->body, "{\"__type\":\"X\"}\n");
  const auto raw = server.request();
  EXPECT_THAT(raw, StartsWith("POST /scan HTTP/1.1\r\n"));
  EXPECT_THAT(raw, HasSubstr("\r\nContent-Type: application/x-amz-json-1.1\r\n"));
  EXPECT_THAT(raw, HasSubstr("\r\nX-Amz-Target: Service.Action\r\n"));
  EXPECT_THAT(raw, ::testing::EndsWith("\r\n\r\n{\"names\":[\"Cursor\"]}"));
  EXPECT_THAT(raw, ::testing::Not(HasSubstr("Expect:")));
}

TEST_F(CurlHttpClientTest, TransportFailuresComeBackAsErrors) {
  struct Case {
    const char* what;
    std::function<void(HttpRequest&, std::unique_ptr<OneShotServer>&)> setUp;
    const char* errorPart;
  };
  const std::vector<Case> cases = {
      {"nothing listening", [](HttpRequest& r, auto&) { r.url = "http://127.0.0.1:1/"; }, "onnect"},
      {"a server that never answers",
       [](HttpRequest& r, auto& s) {
         s = std::make_unique<OneShotServer>("");
         r.url = s->url();
         r.timeout = Seconds(0.3);
       },
       "imeout"},
      {"HTTP/2 demanded of an HTTP/1.1 server",
       [](HttpRequest& r, auto& s) {
         s = std::make_unique<OneShotServer>("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
         r.url = s->url();
         r.http2Only = true;
       },
       ""},
      {"a header that would split the request",
       [](HttpRequest& r, auto&) {
         r.url = "http://127.0.0.1:1/";
         r.headers = {{"X-Evil", "a\r\nInjected: yes"}};
       },
       "invalid header X-Evil"},
      {"an unsupported scheme", [](HttpRequest& r, auto&) { r.url = "file:///etc/passwd"; }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HttpRequest request;
    std::unique_ptr<OneShotServer> server;
    c.setUp(request, server);
    const auto result = roundTrip(request);
    EXPECT_FALSE(result.response);
    EXPECT_FALSE(result.error.empty());
    EXPECT_THAT(result.error, HasSubstr(c.errorPart));
  }
}

TEST_F(CurlHttpClientTest, RequestsStillRunningWhenTheClientGoesAwayAreCancelled) {
  OneShotServer server("");
  std::promise<HttpResult> result;
  HttpRequest request;
  request.url = server.url();
  client->send(request, runtime.runtime().background, [&](HttpResult r) { result.set_value(std::move(r)); });
  server.request();  // the request is on the wire
  client.reset();
  const auto r = result.get_future().get();
  EXPECT_FALSE(r.response);
  EXPECT_EQ(r.error, "cancelled");
}

}  // namespace
}  // namespace deskwave::testing
