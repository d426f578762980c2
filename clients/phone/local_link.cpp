#include "local_link.h"

#include <charconv>
#include <future>
#include <nlohmann/json.hpp>

#include "phone_error.h"

namespace deskwave::phone {

namespace {
constexpr Seconds kRequestTimeout{10};

std::optional<std::uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}
}  // namespace

std::string LocalAddress::url() const {
  if (host.find(':') == std::string::npos) return "http://" + host + ":" + std::to_string(port);
  // An IPv6 zone ("%eth0" of a link-local address) is written "%25" in a URL.
  std::string bracketed = "[";
  for (const char c : host) bracketed += c == '%' ? std::string("%25") : std::string(1, c);
  return "http://" + bracketed + "]:" + std::to_string(port);
}

std::optional<LocalAddress> parseLocalAddress(const std::string& text) {
  LocalAddress address;
  std::string_view rest = text;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    address.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    if (rest.empty()) return address;
    if (!rest.starts_with(':')) return std::nullopt;
    auto port = parsePort(rest.substr(1));
    if (!port) return std::nullopt;
    address.port = *port;
    return address;
  }
  const auto colon = rest.find(':');
  if (colon != rest.rfind(':')) {  // a bare IPv6 address: no port
    address.host = text;
    return address;
  }
  address.host = std::string(rest.substr(0, colon));
  if (address.host.empty() || address.host.find_first_of(" /?#@") != std::string::npos) return std::nullopt;
  if (colon == std::string_view::npos) return address;
  auto port = parsePort(rest.substr(colon + 1));
  if (!port) return std::nullopt;
  address.port = *port;
  return address;
}

LocalLink::LocalLink(std::shared_ptr<HttpClient> http, std::shared_ptr<Executor> completions, LocalAddress address)
    : http_(std::move(http)), completions_(std::move(completions)), address_(std::move(address)) {}

nlohmann::json LocalLink::get(const std::string& path) {
  HttpRequest request;
  request.method = "GET";
  request.url = address_.url() + path;
  return exchange(std::move(request));
}

nlohmann::json LocalLink::post(const std::string& path, const nlohmann::json& body) {
  HttpRequest request;
  request.url = address_.url() + path;
  request.headers = {{"Content-Type", "application/json"}};
  request.body = body.dump();
  return exchange(std::move(request));
}

nlohmann::json LocalLink::exchange(HttpRequest request) {
  request.timeout = kRequestTimeout;
  std::promise<HttpResult> promise;
  auto future = promise.get_future();
  http_->send(std::move(request), completions_, [&promise](HttpResult result) { promise.set_value(std::move(result)); });
  const HttpResult result = future.get();
  const std::string where = "Deskwave at " + address_.host + ":" + std::to_string(address_.port);
  if (!result.response) throw PhoneError("cannot reach " + where + ": " + result.error);
  const auto& response = *result.response;
  auto json = nlohmann::json::parse(response.body, nullptr, false);
  if (response.status != 200) {
    const auto detail = json.is_object() && json.contains("error") && json["error"].is_string()
                            ? json["error"].get<std::string>()
                            : response.body;
    throw PhoneError(where + " refused the request (HTTP " + std::to_string(response.status) + "): " + detail);
  }
  if (json.is_discarded()) throw PhoneError(where + " answered something that is not JSON");
  return json;
}

}  // namespace deskwave::phone
