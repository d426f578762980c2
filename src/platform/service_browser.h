#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/executor.h"

namespace deskwave {

// Where a service found by DNS service discovery answers.
struct ServiceAddress {
  std::string name;  // the instance name, e.g. "Deskwave on desk"
  std::string host;  // a numeric IPv4 or IPv6 address
  std::uint16_t port = 0;
};

// Looks for one instance of `type` (e.g. "_deskwave._tcp") in the default
// domain through the Avahi daemon and resolves it; waits at most `timeout`.
// nullopt when none was found in time or no daemon is reachable.
std::optional<ServiceAddress> findService(const std::string& type, Seconds timeout);

}  // namespace deskwave
