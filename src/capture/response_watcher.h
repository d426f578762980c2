#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/reply_reader.h"
#include "capture/watcher_debug_log.h"
#include "platform/runtime.h"

namespace deskwave {

// The readers one watcher polls, in order of preference. For Cursor: its
// database, its transcripts (only while the database is unavailable) and, after
// a hold-off, the window; for every other application the window alone.
struct WatcherReaders {
  std::shared_ptr<DatabaseReplyReader> db;
  std::shared_ptr<ReplyReader> transcript;
  std::shared_ptr<WindowReplyReader> window;  // always present
};

// Finds the reply to one prompt pasted into a target application and hands it
// over exactly once, on the main thread; publishes the window reader's growing
// text as partial reply meanwhile; gives up after ten minutes.
class ResponseWatcher : public std::enable_shared_from_this<ResponseWatcher> {
 public:
  static constexpr double kStartDelay = 6.0;
  static constexpr double kPollPeriod = 2.0;
  static constexpr double kTimeout = 600.0;
  static constexpr double kCursorWindowDelay = 45.0;

  // A target named "cursor" (any letter case) uses all three readers; any other
  // target only the window reader.
  static std::shared_ptr<ResponseWatcher> create(std::int32_t pid, std::string target, std::string sentPrompt,
                                                 WatcherReaders readers, Runtime runtime,
                                                 std::shared_ptr<WatcherDebugLog> log);
  ~ResponseWatcher();

  void start();
  // Stops polling; safe to call at any time, more than once.
  void stop();

  bool active() const { return active_.load(); }
  bool responseDelivered() const { return delivered_.load(); }

  std::function<void(const std::string& target, const std::string& text)> onResponse;
  std::function<void(const std::string& text)> onPartial;

 private:
  ResponseWatcher(std::int32_t pid, std::string target, std::string sentPrompt, WatcherReaders readers,
                  Runtime runtime, std::shared_ptr<WatcherDebugLog> log);
  void beginCapturePolling();
  void pollCapture();
  bool tryDeliver(const std::optional<std::string>& reply, const char* via);
  void deliver(const std::string& text, const char* via);

  std::int32_t pid_;
  std::string target_;
  std::string sentPrompt_;
  WatcherReaders readers_;
  Runtime runtime_;
  std::shared_ptr<WatcherDebugLog> log_;
  double windowDelay_;
  MonoTime startedAt_;
  int pollCount_ = 0;  // touched by the polls only, which never overlap
  std::atomic<bool> active_{false};
  std::atomic<bool> delivered_{false};
  std::atomic<bool> polling_{false};
  TaskHandle startDelay_;
  TaskHandle pollTimer_;
  TaskHandle timeout_;
};

}  // namespace deskwave
