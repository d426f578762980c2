#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/simple-watch.h>

#include <net/if.h>

#include <chrono>
#include <string>

#include "platform/service_browser.h"

namespace deskwave {
namespace {

// One browse-and-resolve on a private simple poll, run on the calling thread.
struct Lookup {
  AvahiSimplePoll* poll = nullptr;
  AvahiClient* client = nullptr;
  std::optional<ServiceAddress> found;
  bool failed = false;
  bool ipv4Only = true;  // until an IPv4 resolution has failed once

  static void onClient(AvahiClient*, AvahiClientState state, void* self) {
    if (state == AVAHI_CLIENT_FAILURE) static_cast<Lookup*>(self)->failed = true;
  }

  static void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                         const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                         AvahiLookupResultFlags, void* self) {
    auto* lookup = static_cast<Lookup*>(self);
    if (event == AVAHI_RESOLVER_FOUND && address && !lookup->found) {
      char text[AVAHI_ADDRESS_STR_MAX] = {};
      avahi_address_snprint(text, sizeof text, address);
      std::string host = text;
      // A link-local IPv6 address is reachable only through its interface.
      char interfaceName[IF_NAMESIZE] = {};
      if (address->proto == AVAHI_PROTO_INET6 && host.rfind("fe80:", 0) == 0 &&
          if_indextoname(static_cast<unsigned>(interface), interfaceName))
        host += std::string("%") + interfaceName;
      lookup->found = ServiceAddress{name ? name : "", host, port};
    } else if (event == AVAHI_RESOLVER_FAILURE && !lookup->found && lookup->ipv4Only && name && type) {
      // No IPv4 address (the one to prefer): take an IPv6 one instead.
      lookup->ipv4Only = false;
      avahi_service_resolver_new(avahi_service_resolver_get_client(resolver), interface, protocol, name, type, domain,
                                 AVAHI_PROTO_INET6, AvahiLookupFlags(0), &Lookup::onResolved, self);
    }
    avahi_service_resolver_free(resolver);
  }

  static void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                       AvahiLookupResultFlags, void* self) {
    auto* lookup = static_cast<Lookup*>(self);
    if (event == AVAHI_BROWSER_FAILURE) lookup->failed = true;
    if (event != AVAHI_BROWSER_NEW) return;
    avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface, protocol, name, type, domain,
                               AVAHI_PROTO_INET, AvahiLookupFlags(0), &Lookup::onResolved, self);
  }
};

}  // namespace

std::optional<ServiceAddress> findService(const std::string& type, Seconds timeout) {
  Lookup lookup;
  lookup.poll = avahi_simple_poll_new();
  if (!lookup.poll) return std::nullopt;
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL a missing daemon fails here at once.
  lookup.client = avahi_client_new(avahi_simple_poll_get(lookup.poll), AvahiClientFlags(0), &Lookup::onClient,
                                   &lookup, &error);
  if (lookup.client) {
    AvahiServiceBrowser* browser = avahi_service_browser_new(lookup.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                             type.c_str(), nullptr, AvahiLookupFlags(0),
                                                             &Lookup::onBrowse, &lookup);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (browser && !lookup.found && !lookup.failed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (avahi_simple_poll_iterate(lookup.poll, static_cast<int>(left.count())) != 0) break;
    }
    // Freeing the client frees the browser and any resolver still running.
    avahi_client_free(lookup.client);
  }
  avahi_simple_poll_free(lookup.poll);
  return lookup.found;
}

}  // namespace deskwave
