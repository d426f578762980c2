#include "capture/transcript_cockpit_monitor.h"

#include <vector>

#include "capture/cursor_composer_state.h"
#include "capture/cursor_db_reader.h"
#include "platform/file_info.h"

namespace deskwave {
namespace {

namespace fs = std::filesystem;
namespace ct = claude_transcript;

}  // namespace

CockpitAdapter CockpitAdapter::claude(const fs::path& home) {
  return CockpitAdapter{"Claude", home / ".claude" / "projects", ct::Dialect::claude, std::nullopt};
}

CockpitAdapter CockpitAdapter::cursor(const fs::path& home) {
  CockpitAdapter adapter{"Cursor", home / ".cursor" / "projects", ct::Dialect::cursor, 120.0};
  adapter.turnIsOver = [db = cursorStateDatabasePath(home)] { return cursorNewestComposerTurnIsOver(db); };
  return adapter;
}

std::optional<fs::path> mostRecentJSONL(const fs::path& root) {
  std::error_code ec;
  fs::directory_iterator rootIt(root, fs::directory_options::skip_permission_denied, ec);
  if (ec) return std::nullopt;

  std::optional<fs::path> best;
  WallTime bestTime = WallTime::min();
  std::vector<fs::path> folders;
  auto visit = [&](fs::directory_iterator it) {
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
      if (ec) break;  // a folder removed while walked: keep what it gave
      const auto& path = it->path();
      if (isHidden(path)) continue;
      // The entry's type comes with the listing: no system call for it here.
      std::error_code typeError;
      const bool link = it->is_symlink(typeError);
      if (typeError) continue;
      const bool folder = it->is_directory(typeError);  // follows a link
      if (typeError) continue;
      if (folder) {
        if (!link) folders.push_back(path);  // a link to a folder could lead back up the tree
        continue;
      }
      if (!hasJsonlExtension(path)) continue;
      const auto modified = modificationTime(path).value_or(WallTime::min());
      if (!best || modified > bestTime) {
        best = path;
        bestTime = modified;
      }
    }
  };
  visit(std::move(rootIt));
  while (!folders.empty()) {
    const auto folder = std::move(folders.back());
    folders.pop_back();
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) continue;
    visit(std::move(it));
  }
  return best;
}

std::shared_ptr<TranscriptCockpitMonitor> TranscriptCockpitMonitor::create(CockpitAdapter adapter, Runtime runtime) {
  return std::shared_ptr<TranscriptCockpitMonitor>(
      new TranscriptCockpitMonitor(std::move(adapter), std::move(runtime)));
}

TranscriptCockpitMonitor::TranscriptCockpitMonitor(CockpitAdapter adapter, Runtime runtime)
    : adapter_(std::move(adapter)), runtime_(std::move(runtime)) {}

TranscriptCockpitMonitor::~TranscriptCockpitMonitor() { timer_.cancel(); }

void TranscriptCockpitMonitor::start() {
  if (started_) return;
  started_ = true;
  const std::weak_ptr<TranscriptCockpitMonitor> weak = weak_from_this();
  timer_ = runtime_.utility->repeat(Seconds(kPollPeriod), Seconds(kPollPeriod), [weak] {
    if (auto self = weak.lock()) self->poll();
  });
}

std::optional<fs::path> CockpitAdapter::activeTranscript() const {
  // Claude Code keeps a session's subagents in files of their own below it:
  // the tab follows the newest session, never a subagent.
  return dialect == ct::Dialect::claude ? newestClaudeSession(projectsRoot) : mostRecentJSONL(projectsRoot);
}

void TranscriptCockpitMonitor::poll() {
  const auto file = adapter_.activeTranscript();
  // Asked before the lock is taken: it may read a database.
  const bool turnOver = file && adapter_.turnIsOver && adapter_.turnIsOver();
  std::optional<std::string> partial;
  {
    std::lock_guard lock(mutex_);
    if (file) {
      auto stamp = stampOf(*file);
      if (lastSeen_ == stamp && lastTurnOver_ == turnOver) return;  // unchanged: no reading, nothing posted
      lastSeen_ = std::move(stamp);
      lastTurnOver_ = turnOver;
      if (!turnOver) partial = compute(*file);
    } else {
      lastSeen_.reset();  // a transcript that comes back is read afresh
    }
  }
  const std::weak_ptr<TranscriptCockpitMonitor> weak = weak_from_this();
  runtime_.main->post([weak, partial = std::move(partial)] {
    if (auto self = weak.lock(); self && self->onPartial) self->onPartial(partial);
  });
}

std::optional<std::string> TranscriptCockpitMonitor::compute(const fs::path& file) const {
  if (adapter_.idleEndsTurnAfter) {
    // A tool that never marks the end of a turn has finished once its
    // transcript has rested long enough.
    if (const auto modified = modificationTime(file)) {
      const Seconds quiet = runtime_.clock->now() - *modified;
      if (quiet.count() > *adapter_.idleEndsTurnAfter) return std::nullopt;
    }
  }
  const auto tail = readTranscriptTail(file);
  return ct::runningTurnTextFromLines(adapter_.dialect, ct::tailLines(tail.bytes, tail.startsMidFile));
}

}  // namespace deskwave
