#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace deskwave {

// The tool list served to the phone over the local link. Replaced as a whole on
// the main thread and read from connection threads.
class ToolsBox {
 public:
  std::vector<std::string> tools() const {
    std::lock_guard lock(mutex_);
    return tools_;
  }
  void setTools(std::vector<std::string> tools) {
    std::lock_guard lock(mutex_);
    tools_ = std::move(tools);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> tools_;
};

}  // namespace deskwave
