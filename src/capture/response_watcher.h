#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
  // Stops polling; safe to call at any time, from any thread, more than once.
  // Once it returns the watcher hands nothing over any more: not from a poll
  // running meanwhile, nor a reply found but not yet handed to onResponse.
  void stop();

  const std::string& target() const { return target_; }
  bool active() const;
  bool responseDelivered() const;

  std::function<void(const std::string& target, const std::string& text)> onResponse;
  std::function<void(const std::string& text)> onPartial;

 private:
  ResponseWatcher(std::int32_t pid, std::string target, std::string sentPrompt, WatcherReaders readers,
                  Runtime runtime, std::shared_ptr<WatcherDebugLog> log);
  void beginCapturePolling();
  void pollCapture();
  bool tryDeliver(const std::optional<std::string>& reply, const char* via);
  // Decides the delivery and stops polling, in one step with the check that
  // the watcher is still active; false when it is not (or already delivered).
  bool claimDelivery();
  void deliver(const std::string& text, const char* via);
  void cancelTimers();
  void handOver(const std::string& text);

  std::int32_t pid_;
  std::string target_;
  std::string sentPrompt_;
  WatcherReaders readers_;
  Runtime runtime_;
  std::shared_ptr<WatcherDebugLog> log_;
  double windowDelay_;
  MonoTime startedAt_;
  int pollCount_ = 0;  // touched by the polls only, which never overlap

  // Written from the main thread, the start delay, the timeout and the polls.
  mutable std::mutex mutex_;
  bool active_ = false;
  bool delivered_ = false;
  bool polling_ = false;
  bool stopped_ = false;  // stop() was called: nothing is handed over any more
  TaskHandle startDelay_;
  TaskHandle pollTimer_;
  TaskHandle timeout_;
};

}  // namespace deskwave
