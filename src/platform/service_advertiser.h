#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace deskwave {

// Advertises a service on the local network by DNS service discovery.
class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;
  // Publishes `name` of `type` (e.g. "_deskwave._tcp") on `port` in the default
  // domain, without TXT records. When no discovery daemon is reachable yet, it
  // says so once and publishes when one appears; a name already taken on the
  // network is replaced by the daemon's alternative name.
  virtual void advertise(const std::string& name, const std::string& type, std::uint16_t port) = 0;
};

// The Avahi backend. `log` receives one-line status messages (from Avahi's own thread).
std::shared_ptr<ServiceAdvertiser> makeAvahiAdvertiser(std::function<void(const std::string&)> log);

}  // namespace deskwave
