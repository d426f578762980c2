#include "attempt_limiter.h"

namespace deskwave::accounts {

void AttemptLimiter::forgetOld(std::deque<MonoTime>& times, MonoTime now) const {
  while (!times.empty() && now - times.front() >= window_) times.pop_front();
}

bool AttemptLimiter::locked(const std::string& user, MonoTime now) {
  const auto it = failures_.find(user);
  if (it == failures_.end()) return false;
  forgetOld(it->second, now);
  if (it->second.empty()) {
    failures_.erase(it);
    return false;
  }
  return it->second.size() >= maxFailures_;
}

void AttemptLimiter::recordFailure(const std::string& user, MonoTime now) {
  auto& times = failures_[user];
  forgetOld(times, now);
  times.push_back(now);
}

}  // namespace deskwave::accounts
