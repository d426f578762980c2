#pragma once

#include <string>

namespace deskwave {

// The relay's "/scan" classification address on the host and port of the relay
// URL the relay client uses: "ws://host:port/…" gives "http://host:port/scan".
// A relay reached over TLS ("wss://host/…") is asked over TLS as well
// ("https://host:443/scan"): the list of installed applications does not go out
// in clear text to a server that only speaks TLS. Empty when the URL is not a
// ws, wss, http or https URL.
std::string scanURLFromRelayURL(const std::string& relayURL);

}  // namespace deskwave
