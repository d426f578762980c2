#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace deskwave {

// Remembers prompts the bridge pasted into Claude, so that their echo in
// Claude's transcript is not mirrored back to the phone. Each remembered prompt
// absorbs exactly one echo. Texts are compared trimmed, case-sensitively.
// Safe to use from any thread.
class SentPromptTracker {
 public:
  static constexpr std::size_t kMaxEntries = 40;
  static constexpr double kLifetimeSeconds = 300.0;

  explicit SentPromptTracker(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

  void record(const std::string& text);
  // True (and the entry is consumed) when `text` matches a remembered prompt.
  bool wasRecentlySent(const std::string& text);

 private:
  struct Entry {
    std::string text;
    MonoTime at;
  };
  void prune(MonoTime now);  // with mutex_ held

  std::shared_ptr<Clock> clock_;
  std::mutex mutex_;
  std::vector<Entry> items_;
};

}  // namespace deskwave
