#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "platform/executor.h"
#include "platform/http_client.h"

namespace deskwave::phone {

// Host and port of a desktop's local link, from "HOST[:PORT]" or "[IPv6]:PORT".
struct LocalAddress {
  std::string host;
  std::uint16_t port = 8765;
  std::string url() const;  // "http://host:port"
};
// nullopt when the text is not a host with an optional port of 1–65535.
std::optional<LocalAddress> parseLocalAddress(const std::string& text);

// Blocking requests to the desktop's local HTTP API. Every failure (no answer,
// a status other than 200, a body that is not JSON) throws PhoneError.
class LocalLink {
 public:
  LocalLink(std::shared_ptr<HttpClient> http, std::shared_ptr<Executor> completions, LocalAddress address);

  nlohmann::json get(const std::string& path);
  nlohmann::json post(const std::string& path, const nlohmann::json& body);
  const LocalAddress& address() const { return address_; }

 private:
  nlohmann::json exchange(HttpRequest request);

  std::shared_ptr<HttpClient> http_;
  std::shared_ptr<Executor> completions_;
  LocalAddress address_;
};

}  // namespace deskwave::phone
