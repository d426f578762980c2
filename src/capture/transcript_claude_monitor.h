#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/claude_monitor.h"
#include "capture/claude_transcript.h"
#include "capture/watcher_debug_log.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"

namespace deskwave {

// The bytes at the end of a transcript file, as read for one poll.
struct TranscriptTail {
  std::string bytes;
  bool startsMidFile = false;  // reading began after the file's first byte
};

// Reads at most the last `maxBytes` bytes of `file`; empty when it is not a
// regular file or cannot be read. Never throws.
TranscriptTail readTranscriptTail(const std::filesystem::path& file,
                                  std::uint64_t maxBytes = claude_transcript::kTailBytes);

// True when the file name ends in ".jsonl", in any letter case.
bool hasJsonlExtension(const std::filesystem::path& file);

// What tells a changed transcript from an unchanged one between two polls: its
// path, content modification time (the distant past when unreadable) and size.
struct TranscriptStamp {
  std::filesystem::path file;
  WallTime modified;
  std::uintmax_t size = 0;

  bool operator==(const TranscriptStamp&) const = default;
};
TranscriptStamp stampOf(const std::filesystem::path& file);

// Mirrors the Claude conversation held at the desk from the newest session
// transcript under <home>/.claude/projects. Every two seconds (on the utility
// executor) it reads the newest session file when it changed, and reports each
// turn newer than the last one reported: completed replies (onReply), questions
// asked with AskUserQuestion (onQuestion) and prompts typed at the desk
// (onUserPrompt), each posted on the main executor in the transcript's order.
// The time stamp of the newest reported turn is kept under
// "deskwave.claude.lastTS" so that a restart neither repeats nor loses turns;
// on the very first start the existing history counts as reported.
class TranscriptClaudeMonitor final : public ClaudeMonitor,
                                      public std::enable_shared_from_this<TranscriptClaudeMonitor> {
 public:
  static constexpr double kPollPeriod = 2.0;
  static constexpr const char* kLastTSKey = "deskwave.claude.lastTS";

  static std::shared_ptr<TranscriptClaudeMonitor> create(Runtime runtime, std::filesystem::path home,
                                                         std::shared_ptr<SettingsStore> settings,
                                                         std::shared_ptr<WatcherDebugLog> log);
  ~TranscriptClaudeMonitor() override;

  // Main thread. Idempotent: the first call settles the starting point and
  // starts polling, two seconds later and every two seconds after.
  void start() override;

  // The newest ".jsonl" file (any letter case) directly inside a non-hidden
  // folder of <home>/.claude/projects; nullopt when there is none.
  std::optional<std::filesystem::path> activeSessionFile() const;

 private:
  TranscriptClaudeMonitor(Runtime runtime, std::filesystem::path home, std::shared_ptr<SettingsStore> settings,
                          std::shared_ptr<WatcherDebugLog> log);
  void poll();
  std::vector<claude_transcript::Turn> readTurns(const std::filesystem::path& file) const;
  void report(const claude_transcript::Turn& turn);

  Runtime runtime_;
  std::filesystem::path projectsRoot_;
  std::shared_ptr<SettingsStore> settings_;
  std::shared_ptr<WatcherDebugLog> log_;
  bool started_ = false;  // main thread only
  TaskHandle timer_;

  std::mutex mutex_;  // the polls' state below; polls never overlap, but nothing here relies on it
  std::string lastTS_;
  std::optional<TranscriptStamp> lastSeen_;
};

}  // namespace deskwave
