#pragma once

#include <map>
#include <mutex>

#include "platform/settings_store.h"

namespace deskwave {

// Settings kept in memory only, for tests.
class MemorySettingsStore final : public SettingsStore {
 public:
  std::optional<SettingValue> value(std::string_view key) const override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setValue(std::string_view key, SettingValue v) override {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::move(v));
  }
  void remove(std::string_view key) override {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) values_.erase(it);
  }
  void flush() override {
    std::lock_guard lock(mutex_);
    ++flushes_;
  }
  int flushCount() const {
    std::lock_guard lock(mutex_);
    return flushes_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, SettingValue, std::less<>> values_;
  int flushes_ = 0;
};

}  // namespace deskwave
