#include "support/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace deskwave::testing {

RawConnection::RawConnection(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

void RawConnection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void RawConnection::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string RawConnection::readAll() {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buffer[65536];
  while (fd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

bool RawConnection::closedWithin(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  char buffer[4096];
  while (fd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
  return false;
}

std::string exchange(std::uint16_t port, const std::string& request) {
  RawConnection c(port);
  c.send(request);
  return c.readAll();
}

ParsedResponse parseResponse(const std::string& raw) {
  ParsedResponse r;
  const auto end = raw.find("\r\n\r\n");
  const auto head = raw.substr(0, end);
  std::size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    auto eol = head.find("\r\n", start);
    if (eol == std::string::npos) eol = head.size();
    const auto line = head.substr(start, eol - start);
    if (first) r.statusLine = line;
    else r.headers.push_back(line);
    first = false;
    start = eol + 2;
  }
  if (end != std::string::npos) r.body = raw.substr(end + 4);
  return r;
}

std::string post(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

}  // namespace deskwave::testing
