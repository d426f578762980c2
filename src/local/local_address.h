#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/network_interfaces.h"

namespace deskwave {

// The address the phone can reach this machine at: the first IPv4 address, in
// the system's order, of an interface that is up, not loopback and not virtual
// (bridge, tunnel, container or VPN). "Unknown" when there is none or the list
// could not be read.
std::string chooseLocalAddress(const std::optional<std::vector<InterfaceAddress>>& list);

// True for interfaces that no phone on the LAN reaches the machine through.
bool isVirtualInterface(const std::string& name);

}  // namespace deskwave
