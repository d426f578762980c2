#pragma once

#include <string>

#include "platform/observable.h"

namespace deskwave {

// Keeps the machine's local IPv4 address current, for display.
class IPMonitor {
 public:
  virtual ~IPMonitor() = default;
  // Reads the address now and publishes it on the main thread.
  virtual void refresh() = 0;

  // Dotted decimal, "Unknown" when there is none, "…" before the first reading.
  Observable<std::string> currentIP{"\u2026"};
};

}  // namespace deskwave
