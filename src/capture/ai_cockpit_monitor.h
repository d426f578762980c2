#pragma once

#include <functional>
#include <optional>
#include <string>

namespace deskwave {

// Publishes the reply text of a running Claude or Cursor turn as it grows.
// `onPartial` is called on the main thread: the text so far, or nullopt when no
// turn runs.
class AICockpitMonitor {
 public:
  virtual ~AICockpitMonitor() = default;
  virtual void start() = 0;

  std::function<void(const std::optional<std::string>& partial)> onPartial;
};

}  // namespace deskwave
