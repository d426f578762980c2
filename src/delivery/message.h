#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace deskwave {

// One history entry. JSON: {"id", "text", "timestamp", "isReceived"}, where
// "timestamp" is seconds since 2001-01-01 00:00:00 UTC and "isReceived" may be
// absent (false).
struct Message {
  std::string id;  // upper-case canonical UUID
  std::string text;
  WallTime timestamp;
  bool isReceived = false;

  bool operator==(const Message&) const = default;

  static Message make(std::string text, WallTime now, bool isReceived);
};

std::string messagesToJson(const std::vector<Message>& messages);
// nullopt unless `json` is an array whose every record decodes.
std::optional<std::vector<Message>> messagesFromJson(std::string_view json);

}  // namespace deskwave
