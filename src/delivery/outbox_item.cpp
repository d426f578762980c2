#include "delivery/outbox_item.h"

#include "platform/json_decode.h"

namespace deskwave {
namespace {

nlohmann::json toObject(const OutboxItem& item) {
  return {{"id", item.id}, {"target", item.target}, {"text", item.text}, {"role", item.role}};
}

}  // namespace

// Replace invalid UTF-8 rather than fail: a captured reply may be cut in the
// middle of a character, and it must still reach the phone.
std::string OutboxItem::toJson() const {
  return toObject(*this).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<OutboxItem> OutboxItem::fromJson(std::string_view text) {
  return json::parse(text, [](const nlohmann::json& j) {
    return OutboxItem{json::requireString(j, "id"), json::requireString(j, "target"),
                      json::requireString(j, "text"), json::requireString(j, "role")};
  });
}

std::string outboxItemsToJson(const std::vector<OutboxItem>& items) {
  auto array = nlohmann::json::array();
  for (const auto& item : items) array.push_back(toObject(item));
  // Replace invalid UTF-8 rather than fail: a reply must always reach the phone.
  return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace deskwave
