#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace deskwave {

using Bytes = std::vector<std::uint8_t>;
using StringList = std::vector<std::string>;

// One stored setting value.
using SettingValue = std::variant<std::string, bool, std::int64_t, StringList, Bytes>;

// The per-user key-value store of small values. Absent keys read as absent,
// false, 0 or empty. A boolean and an integer read as each other (non-zero is
// true); other kinds of value read as absent under a different type.
// Safe to use from any thread.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  virtual std::optional<SettingValue> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, SettingValue value) = 0;
  virtual void remove(std::string_view key) = 0;
  // Makes every earlier write durable.
  virtual void flush() = 0;

  bool contains(std::string_view key) const { return value(key).has_value(); }

  std::optional<std::string> getString(std::string_view key) const;
  bool getBool(std::string_view key) const;
  std::int64_t getInt(std::string_view key) const;
  StringList getStringList(std::string_view key) const;
  std::optional<Bytes> getData(std::string_view key) const;

  void setString(std::string_view key, std::string v) { setValue(key, std::move(v)); }
  void setBool(std::string_view key, bool v) { setValue(key, v); }
  void setInt(std::string_view key, std::int64_t v) { setValue(key, v); }
  void setStringList(std::string_view key, StringList v) { setValue(key, std::move(v)); }
  void setData(std::string_view key, Bytes v) { setValue(key, std::move(v)); }
};

}  // namespace deskwave
