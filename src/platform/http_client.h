#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/executor.h"

namespace deskwave {

struct HttpRequest {
  std::string method = "POST";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  // No body at all when absent (not even an empty one).
  std::optional<std::string> body;
  Seconds timeout{60};
  // Refuse anything but HTTP/2 (over TLS), for services that accept nothing else.
  bool http2Only = false;
};

struct HttpResponse {
  int status = 0;
  std::string body;
};

// Either a response (any status) or the transport error that prevented one.
struct HttpResult {
  std::optional<HttpResponse> response;
  std::string error;  // set when there is no response
};

// Outgoing HTTP(S). `send` returns at once; `done` runs later on `completeOn`.
class HttpClient {
 public:
  using Completion = std::function<void(HttpResult)>;
  virtual ~HttpClient() = default;
  virtual void send(HttpRequest request, std::shared_ptr<Executor> completeOn, Completion done) = 0;
};

}  // namespace deskwave
