#include "app/sent_prompt_tracker.h"

#include <algorithm>

#include "platform/text.h"

namespace deskwave {

void SentPromptTracker::prune(MonoTime now) {
  const auto cutoff = now - std::chrono::duration_cast<MonoTime::duration>(std::chrono::duration<double>(kLifetimeSeconds));
  std::erase_if(items_, [&](const Entry& e) { return e.at < cutoff; });
}

void SentPromptTracker::record(const std::string& text) {
  auto trimmed = trimWhitespace(text);
  if (trimmed.empty()) return;
  const auto now = clock_->monotonic();
  std::lock_guard lock(mutex_);
  prune(now);
  items_.push_back(Entry{std::move(trimmed), now});
  if (items_.size() > kMaxEntries) items_.erase(items_.begin(), items_.end() - kMaxEntries);
}

bool SentPromptTracker::wasRecentlySent(const std::string& text) {
  const auto trimmed = trimWhitespace(text);
  const auto now = clock_->monotonic();
  std::lock_guard lock(mutex_);
  prune(now);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Entry& e) { return e.text == trimmed; });
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

}  // namespace deskwave
