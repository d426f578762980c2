#include "platform/json_decode.h"

namespace deskwave::json {

const nlohmann::json& require(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) throw DecodeError("expected an object");
  auto it = object.find(key);
  if (it == object.end()) throw DecodeError("missing key \"" + std::string(key) + "\"");
  return *it;
}

std::string requireString(const nlohmann::json& object, std::string_view key) {
  const auto& v = require(object, key);
  if (!v.is_string()) throw DecodeError("\"" + std::string(key) + "\" is not a string");
  return v.get<std::string>();
}

bool requireBool(const nlohmann::json& object, std::string_view key) {
  const auto& v = require(object, key);
  if (!v.is_boolean()) throw DecodeError("\"" + std::string(key) + "\" is not a boolean");
  return v.get<bool>();
}

double requireNumber(const nlohmann::json& object, std::string_view key) {
  const auto& v = require(object, key);
  if (!v.is_number()) throw DecodeError("\"" + std::string(key) + "\" is not a number");
  return v.get<double>();
}

// An absent key and an explicit null both read as absent.
std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object() || !object.contains(key) || object.at(key).is_null()) return std::nullopt;
  return requireString(object, key);
}

std::optional<bool> optionalBool(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object() || !object.contains(key) || object.at(key).is_null()) return std::nullopt;
  return requireBool(object, key);
}

}  // namespace deskwave::json
