#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace deskwave::phone {

// The string at `key` of what the desktop sent, or "" when it is absent or not
// a string: a display or a reply is never refused for one odd field.
inline std::string stringOr(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace deskwave::phone
