#include "delivery/response_outbox.h"

#include <algorithm>
#include <unordered_set>

#include "platform/uuid.h"

namespace deskwave {

OutboxItem ResponseOutbox::add(std::string target, std::string text, std::string role) {
  OutboxItem item{newUuid(), std::move(target), std::move(text), std::move(role)};
  std::lock_guard lock(mutex_);
  items_.push_back(item);
  if (items_.size() > kMaxItems) items_.erase(items_.begin(), items_.end() - kMaxItems);
  return item;
}

void ResponseOutbox::ack(const std::vector<std::string>& ids) {
  if (ids.empty()) return;
  const std::unordered_set<std::string> gone(ids.begin(), ids.end());
  std::lock_guard lock(mutex_);
  std::erase_if(items_, [&](const OutboxItem& item) { return gone.contains(item.id); });
}

std::vector<OutboxItem> ResponseOutbox::pending() const {
  std::lock_guard lock(mutex_);
  return items_;
}

}  // namespace deskwave
