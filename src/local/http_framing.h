#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace deskwave {

// One request as the endpoint layer sees it.
struct LocalRequest {
  std::string method;
  std::string path;  // exactly as sent, query string included
  std::string body;
  bool bodyRead = false;  // false for the reads answered without a body
};

struct LocalResponse {
  std::string status;  // e.g. "200 OK"
  std::string body;    // JSON text
  bool operator==(const LocalResponse&) const = default;
};

enum class FrameStatus {
  needMore,  // read again
  drop,      // the peer gave up before a complete request: close without answering
  ready,     // `request` is complete
  reject,    // answer `rejection` and close without reading further
};

struct FrameResult {
  FrameStatus status = FrameStatus::needMore;
  LocalRequest request;
  LocalResponse rejection;
};

// Limits that keep one client from exhausting memory.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr long long kMaxBodyBytes = 64LL * 1024 * 1024;

// Frames the request held in `buffer` (everything received so far). `peerDone`
// is true when the peer has finished sending or the read failed. Requests that
// carry an "Origin" or "Sec-Fetch-*" header come from a web page and are refused.
FrameResult frameRequest(std::string_view buffer, bool peerDone);

// The response bytes: status line, the three headers in fixed order, body.
std::string serializeResponse(const LocalResponse& response);

// The decimal value of a Content-Length header value: optional sign, trimmed;
// anything that does not parse, or is negative, counts as 0.
long long parseContentLength(std::string_view value);

}  // namespace deskwave
