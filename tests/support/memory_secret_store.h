#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/secret_store.h"

namespace deskwave::testing {

// Secrets kept in memory only, for tests.
class MemorySecretStore final : public SecretStore {
 public:
  std::optional<std::string> get(const std::string& key) override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void set(const std::string& value, const std::string& key) override {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(key, value);
  }
  void remove(const std::string& key) override {
    std::lock_guard lock(mutex_);
    values_.erase(key);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> values_;
};

}  // namespace deskwave::testing
