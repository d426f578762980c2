#include "local/activity_table.h"

namespace deskwave {

namespace {
constexpr const char* kThinking = "Thinking";
}

void ActivityTable::startTurn(const std::string& tab, WallTime now) {
  std::lock_guard lock(mutex_);
  suppressed_.erase(tab);
  inflight_[tab].clear();
  since_.try_emplace(tab, now);  // a running turn keeps its start
  activity_[tab] = kThinking;
}

void ActivityTable::toolEvent(const std::string& tab, const std::string& phase, const std::string& tool,
                              const std::string& verb, WallTime now) {
  std::lock_guard lock(mutex_);
  suppressed_.erase(tab);
  since_.try_emplace(tab, now);
  auto& calls = inflight_[tab];
  if (phase == "pre") {
    calls.push_back(ToolCall{tool, verb});
  } else {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
      if (it->name == tool) {
        calls.erase(std::next(it).base());
        break;
      }
    }
  }
  activity_[tab] = calls.empty() ? kThinking : calls.back().verb;
}

void ActivityTable::setSuppressed(const std::string& tab, bool on, WallTime now) {
  std::lock_guard lock(mutex_);
  if (on) {
    suppressed_.insert(tab);
    since_.erase(tab);
    activity_.erase(tab);
    partial_.erase(tab);
    inflight_.erase(tab);
  } else {
    suppressed_.erase(tab);
    since_.try_emplace(tab, now);
  }
}

void ActivityTable::updatePartial(const std::string& tab, const std::optional<std::string>& text) {
  std::lock_guard lock(mutex_);
  if (suppressed_.contains(tab)) return;
  if (text) partial_[tab] = *text;
  else partial_.erase(tab);
}

std::vector<TurnStatus> ActivityTable::snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<TurnStatus> out;
  for (const auto& [tab, since] : since_) {
    auto activity = activity_.find(tab);
    auto partial = partial_.find(tab);
    out.push_back(TurnStatus{tab, since, activity == activity_.end() ? kThinking : activity->second,
                             partial == partial_.end() ? std::nullopt : std::optional(partial->second)});
  }
  return out;
}

}  // namespace deskwave
