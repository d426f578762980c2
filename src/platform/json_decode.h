#pragma once

// Helpers for decoding JSON records: a required key that is missing or has the
// wrong type fails the decode; unknown keys are ignored.

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace deskwave::json {

struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The value at `key` of an object, or a DecodeError.
const nlohmann::json& require(const nlohmann::json& object, std::string_view key);
std::string requireString(const nlohmann::json& object, std::string_view key);
bool requireBool(const nlohmann::json& object, std::string_view key);
double requireNumber(const nlohmann::json& object, std::string_view key);
// An absent key or null gives nullopt; a present key of another type fails.
std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key);
std::optional<bool> optionalBool(const nlohmann::json& object, std::string_view key);

// Parses `text` and applies `decode`; any parse or decode failure gives nullopt.
template <class Decoder>
auto parse(std::string_view text, Decoder decode) -> std::optional<decltype(decode(nlohmann::json()))> {
  auto value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  try {
    return decode(value);
  } catch (const DecodeError&) {
    return std::nullopt;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace deskwave::json
