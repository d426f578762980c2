#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace deskwave {

// One address of a network interface, in the order the system lists them.
struct InterfaceAddress {
  std::string name;     // interface name, e.g. "eth0"
  bool ipv4 = false;    // address family is IPv4
  std::string address;  // numeric host text; empty when it could not be converted
  bool up = false;
  bool loopback = false;
};

// Every interface address (getifaddrs); nullopt when enumeration fails.
std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses();

// Calls `onChange` (on its own thread) whenever an address or link changes,
// from a netlink route socket. Stops when destroyed.
class NetworkChangeWatcher {
 public:
  virtual ~NetworkChangeWatcher() = default;
};
// Null when the netlink socket cannot be opened (`log` says why).
std::unique_ptr<NetworkChangeWatcher> watchNetworkChanges(std::function<void()> onChange,
                                                         std::function<void(const std::string&)> log);

}  // namespace deskwave
