#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace deskwave::testing {

// A blocking loopback client for driving the local server byte by byte.
class RawConnection {
 public:
  explicit RawConnection(std::uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  void send(const std::string& bytes);
  // Half-closes the sending side (the peer sees end of stream).
  void shutdownWrite();
  // Everything the server sends until it closes (or the 10 s safety limit).
  std::string readAll();
  // True when the server closed the connection within `seconds`.
  bool closedWithin(double seconds);

 private:
  int fd_ = -1;
};

// Sends `request` whole and returns the full response.
std::string exchange(std::uint16_t port, const std::string& request);

struct ParsedResponse {
  std::string statusLine;
  std::vector<std::string> headers;
  std::string body;
};
ParsedResponse parseResponse(const std::string& raw);

std::string post(const std::string& path, const std::string& body);
std::string get(const std::string& path);

}  // namespace deskwave::testing
