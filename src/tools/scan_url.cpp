#include "tools/scan_url.h"

#include "platform/websocket_client.h"

namespace deskwave {

std::string scanURLFromRelayURL(const std::string& relayURL) {
  const auto parsed = parseUrl(relayURL);
  if (!parsed) return {};
  const bool ipv6 = parsed->host.find(':') != std::string::npos;
  const auto host = ipv6 ? "[" + parsed->host + "]" : parsed->host;
  return std::string(parsed->tls ? "https://" : "http://") + host + ":" + parsed->port + "/scan";
}

}  // namespace deskwave
