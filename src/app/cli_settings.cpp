// `deskwave settings get|set|remove`: the raw settings, for support. A value is
// printed and typed by its stored type: text as it is, true or false, a
// decimal integer, a string list as a JSON array, data as standard Base64.

#include <charconv>
#include <map>
#include <nlohmann/json.hpp>

#include "account/auth_state.h"
#include "app/cli_commands.h"
#include "app/settings_keys.h"
#include "platform/base64.h"

namespace deskwave::cli {
namespace {

// The type each of the program's own keys is read with: a value of another
// type would read as absent, false or empty without a word.
std::optional<std::string> typeOfKnownKey(const std::string& key) {
  static const std::map<std::string, std::string, std::less<>> types = {
      {keys::keepAwake, "bool"},          {keys::useInternet, "bool"},
      {keys::selectedTools, "list"},      {keys::onboardingDone, "bool"},
      {keys::onboardingStep, "int"},      {keys::quitAlwaysKeepsWindows, "bool"},
      {keys::manualTools, "list"},        {keys::removedTools, "list"},
      {keys::relayPin, "string"},         {keys::relayAccount, "string"},
      {keys::apnsDeviceToken, "string"},  {keys::apnsSandbox, "bool"},
      {keys::claudeLastTS, "string"},     {keys::claudeSessions, "string"},
      {AuthState::userKey, "string"},
      {AuthState::subKey, "string"},      {AuthState::ownerKey, "string"},
      {AuthState::lastEmailKey, "string"}, {AuthState::pEmailKey, "string"},
      {AuthState::pUserKey, "string"},    {AuthState::pTempKey, "string"},
  };
  if (auto known = types.find(key); known != types.end()) return known->second;
  if (key.rfind(keys::historyPrefix, 0) == 0) return "data";
  return std::nullopt;
}

// `text` as a JSON string: quoted, with control characters escaped, for one-line messages.
std::string quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

[[noreturn]] void refuse(const std::string& type, const std::string& value, const std::string& expected) {
  fail(kBadInput, "invalid " + type + " value " + quoted(value) + " (expected " + expected + ")");
}

SettingValue parseValue(const std::string& type, const std::string& value) {
  if (type == "string") return value;
  if (type == "bool") {
    if (value == "true") return true;
    if (value == "false") return false;
    refuse(type, value, "true or false");
  }
  if (type == "int") {
    std::int64_t number = 0;
    const auto* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, number);
    if (value.empty() || error != std::errc() || stop != end) refuse(type, value, "a decimal integer");
    return number;
  }
  if (type == "list") {
    const auto json = nlohmann::json::parse(value, nullptr, false);
    if (!json.is_array()) refuse(type, value, "a JSON array of strings");
    StringList list;
    for (const auto& item : json) {
      if (!item.is_string()) refuse(type, value, "a JSON array of strings");
      list.push_back(item.get<std::string>());
    }
    return list;
  }
  if (type == "data") {
    auto bytes = base64Decode(value);
    if (!bytes) refuse(type, value, "standard Base64");
    return std::move(*bytes);
  }
  fail(kBadInput, "unknown type " + quoted(type));
}

std::string formatValue(const SettingValue& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) return v;
        else if constexpr (std::is_same_v<T, bool>) return v ? "true" : "false";
        else if constexpr (std::is_same_v<T, std::int64_t>) return std::to_string(v);
        else if constexpr (std::is_same_v<T, StringList>)
          return nlohmann::json(v).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        else return base64Encode(v);
      },
      value);
}

void requireKey(const std::string& key) {
  if (key.empty()) fail(kBadInput, "the key cannot be empty");
}

}  // namespace

int settingsGet(const std::string& key) {
  requireKey(key);
  const auto value = openProgramSettings(Paths::fromEnvironment())->value(key);
  if (!value) return kFailed;
  say(formatValue(*value));
  return kDone;
}

int settingsSet(const std::string& key, const std::string& value, const std::string& type) {
  requireKey(key);
  if (auto expected = typeOfKnownKey(key); expected && *expected != type)
    fail(kBadInput, key + " holds a " + *expected + " value (use --type " + *expected + ")");
  auto parsed = parseValue(type, value);
  const auto settings = openProgramSettings(Paths::fromEnvironment());
  settings->setValue(key, std::move(parsed));
  settings->flush();
  return kDone;
}

int settingsRemove(const std::string& key) {
  requireKey(key);
  const auto settings = openProgramSettings(Paths::fromEnvironment());
  settings->remove(key);
  settings->flush();
  return kDone;
}

}  // namespace deskwave::cli
