#include "platform/executor.h"

namespace deskwave {

void TaskState::cancel() {
  if (cancelled_.exchange(true)) return;
  std::function<void()> canceller;
  {
    std::lock_guard lock(mutex_);
    canceller.swap(canceller_);
  }
  if (canceller) canceller();
}

void TaskState::setCanceller(std::function<void()> canceller) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_.load()) {
      canceller_ = std::move(canceller);
      return;
    }
  }
  // Cancelled before the executor got here: release at once.
  if (canceller) canceller();
}

}  // namespace deskwave
