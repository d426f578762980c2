#include "local/local_address.h"

#include <array>
#include <string_view>

namespace deskwave {

bool isVirtualInterface(const std::string& name) {
  static constexpr std::array<std::string_view, 10> kPrefixes = {
      "lo", "docker", "br-", "veth", "virbr", "tun", "tap", "wg", "tailscale", "zt"};
  for (auto prefix : kPrefixes)
    if (name.starts_with(prefix)) return true;
  return false;
}

std::string chooseLocalAddress(const std::optional<std::vector<InterfaceAddress>>& list) {
  if (!list) return "Unknown";
  for (const auto& entry : *list) {
    if (!entry.ipv4 || !entry.up || entry.loopback || entry.address.empty() || isVirtualInterface(entry.name))
      continue;
    return entry.address;
  }
  return "Unknown";
}

}  // namespace deskwave
