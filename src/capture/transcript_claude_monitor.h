#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "capture/claude_monitor.h"
#include "capture/claude_transcript.h"
#include "capture/watcher_debug_log.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"

namespace deskwave {

// The bytes at the end of a transcript file, as read for one poll.
struct TranscriptTail {
  std::string bytes;
  bool startsMidFile = false;  // reading began after the file's first byte (after `from`)
  std::uint64_t start = 0;     // the file offset of the first byte
  std::uint64_t size = 0;      // the file's size when it was read
};

// Reads at most the last `maxBytes` bytes of `file`; empty when it is not a
// regular file or cannot be read. Never throws.
TranscriptTail readTranscriptTail(const std::filesystem::path& file,
                                  std::uint64_t maxBytes = claude_transcript::kTailBytes);
// The same, from the start of a line at offset `from` on: at most the last
// `maxBytes` bytes after it. Empty when the file is shorter than `from`.
TranscriptTail readTranscriptFrom(const std::filesystem::path& file, std::uint64_t from,
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

// Claude Code's session files: the ".jsonl" files (any letter case) directly
// inside the non-hidden folders of `projectsRoot` (one folder per project).
// Deeper files, such as a session's subagents, are not sessions.
void forEachClaudeSession(const std::filesystem::path& projectsRoot,
                          const std::function<void(const std::filesystem::path&)>& visit);
// The most recently modified of them; nullopt when there is none.
std::optional<std::filesystem::path> newestClaudeSession(const std::filesystem::path& projectsRoot);

// Mirrors the Claude conversations held at the desk from the session
// transcripts under <home>/.claude/projects. Every two seconds (on the utility
// executor) it reads each session file that changed since the last poll, from
// where it stopped in that file, and reports each new turn: completed replies
// (onReply), questions asked with AskUserQuestion (onQuestion) and prompts typed
// at the desk (onUserPrompt), each posted on the main executor in the
// transcript's order (sessions in the order they were last written).
//
// Progress is kept per session file as the byte offset after the last whole
// turn read, under "deskwave.claude.sessions" (a small JSON map), so that
// several sessions at once, and stamps that do not grow from line to line,
// neither repeat nor lose a turn, and a restart goes on where it stopped. A
// session without progress (written while the monitor was not running, or
// present on the very first start) is read once with a floor: only its turns
// stamped after the time of the last poll are new; on the very first start the
// current time, after an upgrade the newest turn reported before
// ("deskwave.claude.lastTS", which is still kept up to date).
class TranscriptClaudeMonitor final : public ClaudeMonitor,
                                      public std::enable_shared_from_this<TranscriptClaudeMonitor> {
 public:
  static constexpr double kPollPeriod = 2.0;
  static constexpr const char* kLastTSKey = "deskwave.claude.lastTS";
  static constexpr const char* kSessionsKey = "deskwave.claude.sessions";
  // Progress is kept for at most this many sessions, the most recently written.
  static constexpr std::size_t kMaxSessions = 64;
  // A session file that appears between two polls is new: its turns stamped up
  // to this many seconds before the previous poll still count as new.
  static constexpr int kNewSessionMargin = 60;

  static std::shared_ptr<TranscriptClaudeMonitor> create(Runtime runtime, std::filesystem::path home,
                                                         std::shared_ptr<SettingsStore> settings,
                                                         std::shared_ptr<WatcherDebugLog> log);
  ~TranscriptClaudeMonitor() override;

  // Main thread. Idempotent: the first call settles the starting point and
  // starts polling, two seconds later and every two seconds after.
  void start() override;

  // The newest session file; nullopt when there is none.
  std::optional<std::filesystem::path> activeSessionFile() const;

 private:
  TranscriptClaudeMonitor(Runtime runtime, std::filesystem::path home, std::shared_ptr<SettingsStore> settings,
                          std::shared_ptr<WatcherDebugLog> log);
  void poll();
  // Reads one changed session from its progress on and reports its new turns.
  // With mutex_ held.
  struct SessionToRead {
    TranscriptStamp stamp;
    bool settled = false;  // unchanged since a read that left the end of a turn pending: it ends now
    bool isNew = false;    // not seen by the last poll
  };
  void readSession(const SessionToRead& session);
  void loadProgress();   // with mutex_ held
  void saveProgress();   // with mutex_ held
  void pruneProgress();  // with mutex_ held
  void report(const claude_transcript::Turn& turn);

  Runtime runtime_;
  std::filesystem::path projectsRoot_;
  std::shared_ptr<SettingsStore> settings_;
  std::shared_ptr<WatcherDebugLog> log_;
  bool started_ = false;  // main thread only
  TaskHandle timer_;

  std::mutex mutex_;  // the polls' state below; polls never overlap, but nothing here relies on it
  std::string lastTS_;  // the newest stamp reported, kept for older versions of the program
  std::string polledAt_;  // every change before this time has been read
  std::map<std::filesystem::path, std::uint64_t> offsets_;  // session → bytes read through whole turns
  // Sessions whose progress was dropped to keep the map small: turns stamped
  // after this floor are new. Other sessions without progress that were there
  // at the start are new from startFloor_ on.
  std::map<std::filesystem::path, std::string> prunedFloors_;
  // Every session file's stamp at the last poll, by path.
  struct Seen {
    WallTime modified;
    std::uintmax_t size = 0;
    std::uint64_t generation = 0;  // the poll that saw it; 0: not read yet
  };
  std::unordered_map<std::string, Seen> seen_;
  // Sessions whose last read ended a turn whose message could still go on:
  // read again at the next poll even when unchanged, to end it.
  std::unordered_set<std::string> pendingEnds_;
  std::uint64_t generation_ = 1;
  WallTime lastPoll_{};
  std::string startFloor_;  // sessions without progress at the start are new from here on
};

}  // namespace deskwave
