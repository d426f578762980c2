#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/ai_cockpit_monitor.h"
#include "capture/claude_transcript.h"
#include "capture/transcript_claude_monitor.h"
#include "platform/runtime.h"

namespace deskwave {

// What the activity monitor knows about one AI tool: the name of its tab, the
// tree its transcripts live in, how its entries read, and whether a transcript
// left untouched for a while means that no turn runs any more.
struct CockpitAdapter {
  std::string tab;
  std::filesystem::path projectsRoot;
  claude_transcript::Dialect dialect = claude_transcript::Dialect::claude;
  std::optional<double> idleEndsTurnAfter;  // seconds
  // Optional, asked on every poll (on the utility executor) while a transcript
  // exists: true when the tool's own records say its turn is over, whatever
  // the transcript shows. A change of its answer is read like a change of the
  // transcript.
  std::function<bool()> turnIsOver;

  // The transcript the tab follows: Claude's newest session file, or the
  // newest transcript anywhere in the tree.
  std::optional<std::filesystem::path> activeTranscript() const;

  // Tab "Claude", <home>/.claude/projects; a turn ends with stop reason "end_turn".
  static CockpitAdapter claude(const std::filesystem::path& home);
  // Tab "Cursor", <home>/.cursor/projects; a turn ends when Cursor's state
  // database says the newest composer's turn is over, else after 120 s
  // without a change.
  static CockpitAdapter cursor(const std::filesystem::path& home);
};

// The newest ".jsonl" file (any letter case) anywhere below `root`, skipping
// hidden files and folders and not following symbolic links to folders;
// nullopt when the tree cannot be listed or holds none. A file whose
// modification time cannot be read counts as the oldest.
std::optional<std::filesystem::path> mostRecentJSONL(const std::filesystem::path& root);

// Follows one AI tool's newest transcript and publishes the reply text of the
// turn that is running. Every two seconds (on the utility executor) it looks
// the newest transcript up; when it changed (another file, another modification
// time or size), or the adapter's turnIsOver answers otherwise than before, it
// computes the running turn's text and posts onPartial with it, or with
// nullopt when no turn runs, on the main executor. With no
// transcript at all it posts nullopt on every poll.
class TranscriptCockpitMonitor final : public AICockpitMonitor,
                                       public std::enable_shared_from_this<TranscriptCockpitMonitor> {
 public:
  static constexpr double kPollPeriod = 2.0;

  static std::shared_ptr<TranscriptCockpitMonitor> create(CockpitAdapter adapter, Runtime runtime);
  ~TranscriptCockpitMonitor() override;

  // Main thread. Idempotent: polls two seconds later and every two seconds after.
  void start() override;

  const CockpitAdapter& adapter() const { return adapter_; }

 private:
  TranscriptCockpitMonitor(CockpitAdapter adapter, Runtime runtime);
  void poll();
  std::optional<std::string> compute(const std::filesystem::path& file) const;

  CockpitAdapter adapter_;
  Runtime runtime_;
  bool started_ = false;  // main thread only
  TaskHandle timer_;

  std::mutex mutex_;  // the polls' state below
  std::optional<TranscriptStamp> lastSeen_;
  bool lastTurnOver_ = false;
};

}  // namespace deskwave
