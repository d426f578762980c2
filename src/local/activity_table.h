#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace deskwave {

// One working tab as "/status" reports it.
struct TurnStatus {
  std::string tab;
  WallTime since;
  std::string activity;
  std::optional<std::string> partial;
  bool operator==(const TurnStatus&) const = default;
};

// Which tabs are working on a turn, since when, what they do now, and the reply
// written so far. A tab whose turn has ended ignores partial text until its next
// turn starts. Safe from any thread; calls nothing while holding its lock.
class ActivityTable {
 public:
  void startTurn(const std::string& tab, WallTime now);
  // phase "pre" starts a tool call; any other phase ends the newest call of `tool`.
  void toolEvent(const std::string& tab, const std::string& phase, const std::string& tool, const std::string& verb,
                 WallTime now);
  void setSuppressed(const std::string& tab, bool on, WallTime now);
  void updatePartial(const std::string& tab, const std::optional<std::string>& text);
  std::vector<TurnStatus> snapshot() const;

 private:
  struct ToolCall {
    std::string name;
    std::string verb;
  };

  mutable std::mutex mutex_;
  std::map<std::string, WallTime> since_;
  std::map<std::string, std::string> activity_;
  std::map<std::string, std::string> partial_;
  std::set<std::string> suppressed_;
  std::map<std::string, std::vector<ToolCall>> inflight_;
};

}  // namespace deskwave
