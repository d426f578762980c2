#include "local/permission_table.h"

#include <algorithm>

namespace deskwave {

void PermissionTable::file(PermissionEntry entry) {
  std::lock_guard lock(mutex_);
  pending_.push_back(std::move(entry));
}

std::vector<PermissionEntry> PermissionTable::list(WallTime now) const {
  std::lock_guard lock(mutex_);
  std::vector<PermissionEntry> out;
  for (const auto& e : pending_) {
    const double age = std::chrono::duration<double>(now - e.ts).count();
    if (!e.options.empty() || age > kRequestListingDelay) out.push_back(e);
  }
  return out;
}

void PermissionTable::answer(const std::string& id, const std::string& decision) {
  std::lock_guard lock(mutex_);
  decisions_[id] = decision;
  std::erase_if(pending_, [&](const PermissionEntry& e) { return e.id == id; });
}

void PermissionTable::clearQuestions() {
  std::lock_guard lock(mutex_);
  std::erase_if(pending_, [](const PermissionEntry& e) { return !e.options.empty(); });
}

void PermissionTable::clearAll() {
  std::lock_guard lock(mutex_);
  pending_.clear();
}

std::string PermissionTable::decision(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto it = decisions_.find(id);
  return it == decisions_.end() ? "pending" : it->second;
}

bool PermissionTable::isOpen(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return std::any_of(pending_.begin(), pending_.end(), [&](const PermissionEntry& e) { return e.id == id; });
}

}  // namespace deskwave
