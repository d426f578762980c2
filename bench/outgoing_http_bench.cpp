// Costs of talking to the outside services: signing a push provider token
// (done at most every 50 minutes) and one request through the HTTP client to a
// server on loopback (the client's own overhead: queueing, its thread, libcurl,
// the completion handed to an executor).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"
#include "platform/es256.h"

namespace {

using namespace deskwave;

std::string newP256KeyPem() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  EVP_PKEY_free(key);
  return pem;
}

void BM_Es256SignProviderToken(benchmark::State& state) {
  const auto key = Es256PrivateKey::fromPem(newP256KeyPem());
  const std::string signingInput =
      "eyJhbGciOiJFUzI1NiIsImtpZCI6IkFCQzEyM0RFRkcifQ.eyJpc3MiOiJERUYxMjNHSElKIiwiaWF0IjoxNzAwMDAwMDAwfQ";
  for (auto _ : state) benchmark::DoNotOptimize(key->sign(signingInput));
}
BENCHMARK(BM_Es256SignProviderToken);

// Answers every request on a kept-alive connection with a short 200.
class KeepAliveServer {
 public:
  KeepAliveServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 8);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      while (true) {
        const int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        serve(client);
      }
    });
  }
  ~KeepAliveServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  static void serve(int client) {
    static const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    std::string in;
    char buf[4096];
    while (true) {
      const auto end = in.find("\r\n\r\n");
      if (end != std::string::npos) {
        const auto cl = in.find("Content-Length: ");
        const std::size_t body = cl != std::string::npos && cl < end ? std::stoul(in.substr(cl + 16)) : 0;
        if (in.size() >= end + 4 + body) {
          in.erase(0, end + 4 + body);
          ::send(client, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
          continue;
        }
      }
      const auto n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<std::size_t>(n));
    }
    ::close(client);
  }

  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

void BM_HttpClientRoundTripOnLoopback(benchmark::State& state) {
  KeepAliveServer server;
  AsioRuntime runtime{1};
  auto client = makeCurlHttpClient();
  HttpRequest request;
  request.url = server.url();
  request.headers = {{"Content-Type", "application/json"}};
  request.body = R"({"names":["Cursor","Zed","Terminal"]})";
  for (auto _ : state) {
    std::promise<int> status;
    client->send(request, runtime.runtime().background,
                 [&](HttpResult r) { status.set_value(r.response ? r.response->status : -1); });
    if (status.get_future().get() != 200) state.SkipWithError("request failed");
  }
}
BENCHMARK(BM_HttpClientRoundTripOnLoopback)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
