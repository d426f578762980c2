#pragma once

#include <deque>
#include <map>
#include <string>

#include "platform/clock.h"
#include "platform/executor.h"  // Seconds

namespace deskwave::accounts {

// Counts wrong codes and wrong passwords per user: after `maxFailures` within
// `window`, the user is locked until the oldest of them falls out of the window.
// Kept in memory only; a restart forgets it.
class AttemptLimiter {
 public:
  AttemptLimiter(std::size_t maxFailures, Seconds window) : maxFailures_(maxFailures), window_(window) {}

  bool locked(const std::string& user, MonoTime now);
  void recordFailure(const std::string& user, MonoTime now);
  void reset(const std::string& user) { failures_.erase(user); }

 private:
  void forgetOld(std::deque<MonoTime>& times, MonoTime now) const;

  std::size_t maxFailures_;
  Seconds window_;
  std::map<std::string, std::deque<MonoTime>> failures_;
};

}  // namespace deskwave::accounts
