#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/outbox_item.h"

namespace deskwave {

// Messages waiting for the phone to confirm receipt, oldest first, at most 100.
// Safe to use from any thread.
class ResponseOutbox {
 public:
  static constexpr std::size_t kMaxItems = 100;

  // Appends a new item with a fresh id and returns a copy; drops the oldest
  // items beyond the capacity.
  OutboxItem add(std::string target, std::string text, std::string role);
  // Removes every item whose id is listed; unknown ids are ignored.
  void ack(const std::vector<std::string>& ids);
  // A snapshot of the queue.
  std::vector<OutboxItem> pending() const;

 private:
  mutable std::mutex mutex_;
  std::vector<OutboxItem> items_;
};

}  // namespace deskwave
