#pragma once

#include <optional>
#include <string>

namespace deskwave {

// Small secrets (tokens) kept apart from the ordinary settings, by key.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // The value, or nullopt when there is none or it cannot be read.
  virtual std::optional<std::string> get(const std::string& key) = 0;
  // Replaces any value under `key`; failures are logged, not reported.
  virtual void set(const std::string& value, const std::string& key) = 0;
  virtual void remove(const std::string& key) = 0;
};

}  // namespace deskwave
