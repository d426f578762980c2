#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace deskwave {

// One message awaiting the phone's acknowledgement.
// JSON: {"id", "target", "text", "role"}, all required strings.
struct OutboxItem {
  std::string id;
  std::string target;
  std::string text;
  std::string role;  // "assistant" for a captured reply, "user" for a prompt typed at the desk

  bool operator==(const OutboxItem&) const = default;

  std::string toJson() const;
  static std::optional<OutboxItem> fromJson(std::string_view json);
};

std::string outboxItemsToJson(const std::vector<OutboxItem>& items);

}  // namespace deskwave
