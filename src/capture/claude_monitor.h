#pragma once

#include <functional>
#include <string>
#include <vector>

namespace deskwave {

// Mirrors the Claude conversations held at the desk. Hooks are called on the
// main thread.
class ClaudeMonitor {
 public:
  virtual ~ClaudeMonitor() = default;
  virtual void start() = 0;

  std::function<void(const std::string& text)> onReply;
  std::function<void(const std::string& text, const std::vector<std::string>& options,
                     const std::vector<std::string>& descriptions)>
      onQuestion;
  std::function<void(const std::string& text)> onUserPrompt;
};

}  // namespace deskwave
