#pragma once

#include <memory>

#include "platform/http_client.h"

namespace deskwave {

// The program's HTTP client: libcurl's multi interface driven by one thread of
// its own. The system's CA store is always trusted; DESKWAVE_CA_BUNDLE may name
// one more PEM file of CA certificates to trust as well. Loopback addresses never
// go through a proxy. Requests still running when the client is destroyed
// complete with the error "cancelled".
std::shared_ptr<HttpClient> makeCurlHttpClient();

}  // namespace deskwave
