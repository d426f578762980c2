#include "platform/settings_store.h"

namespace deskwave {

std::optional<std::string> SettingsStore::getString(std::string_view key) const {
  auto v = value(key);
  if (v)
    if (auto* s = std::get_if<std::string>(&*v)) return std::move(*s);
  return std::nullopt;
}

bool SettingsStore::getBool(std::string_view key) const {
  auto v = value(key);
  if (!v) return false;
  if (auto* b = std::get_if<bool>(&*v)) return *b;
  if (auto* i = std::get_if<std::int64_t>(&*v)) return *i != 0;
  return false;
}

std::int64_t SettingsStore::getInt(std::string_view key) const {
  auto v = value(key);
  if (!v) return 0;
  if (auto* i = std::get_if<std::int64_t>(&*v)) return *i;
  if (auto* b = std::get_if<bool>(&*v)) return *b ? 1 : 0;
  return 0;
}

StringList SettingsStore::getStringList(std::string_view key) const {
  auto v = value(key);
  if (v)
    if (auto* l = std::get_if<StringList>(&*v)) return std::move(*l);
  return {};
}

std::optional<Bytes> SettingsStore::getData(std::string_view key) const {
  auto v = value(key);
  if (v)
    if (auto* d = std::get_if<Bytes>(&*v)) return std::move(*d);
  return std::nullopt;
}

}  // namespace deskwave
