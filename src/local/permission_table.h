#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "local/http_server.h"

namespace deskwave {

// Open permission requests (no options) and questions (with options), and the
// decisions the phone sent for them. Safe from any thread; calls nothing while
// holding its lock.
class PermissionTable {
 public:
  // How long a hook's request waits before the phone sees it, so that a request
  // its hook settles at once never pops up.
  static constexpr double kRequestListingDelay = 1.5;

  void file(PermissionEntry entry);
  // Questions at once; requests once older than the listing delay. Oldest first.
  std::vector<PermissionEntry> list(WallTime now) const;
  // Records the decision (the last one wins) and removes the entry.
  void answer(const std::string& id, const std::string& decision);
  void clearQuestions();
  // Removes every entry; decisions stay.
  void clearAll();
  // The recorded decision, or "pending".
  std::string decision(const std::string& id) const;
  bool isOpen(const std::string& id) const;

 private:
  mutable std::mutex mutex_;
  std::vector<PermissionEntry> pending_;
  std::map<std::string, std::string> decisions_;
};

}  // namespace deskwave
