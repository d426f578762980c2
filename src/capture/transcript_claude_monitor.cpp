#include "capture/transcript_claude_monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "platform/file_info.h"
#include "platform/text.h"

namespace deskwave {
namespace {

namespace fs = std::filesystem;
namespace ct = claude_transcript;

// UTC with milliseconds, as "2026-01-01T09:30:00.000Z": the form in which Claude
// stamps its entries, so that text order is time order against them.
std::string isoTimestamp(WallTime t) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(t);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss time{ms - day};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return buffer;
}

// What one read of a session gave: its new turns and where the next read starts.
struct SessionRead {
  std::vector<ct::Turn> turns;
  std::uint64_t resumeAt = 0;
  bool endPending = false;  // the last entry ended a turn whose message may go on
};

// Groups the whole lines of `tail` into turns. Reading resumes after the last
// line that left no reply half collected; a last line without its line break
// is still being written and is read again next time. With `settled` (the
// session has not changed since it was last read) a turn whose end is pending
// ends now.
SessionRead groupTurns(const TranscriptTail& tail, std::uint64_t from, bool settled) {
  SessionRead result;
  result.resumeAt = from;
  ct::TurnGrouper grouper;
  std::string_view bytes = tail.bytes;
  std::uint64_t position = tail.start;
  bool first = true;
  for (auto lf = bytes.find('\n'); lf != std::string_view::npos; lf = bytes.find('\n')) {
    const auto line = bytes.substr(0, lf);
    const auto lineStart = position;
    bytes.remove_prefix(lf + 1);
    position += lf + 1;
    if (std::exchange(first, false) && tail.startsMidFile) continue;  // cut by the reading
    bool added = false;
    for (const auto piece : ct::tailLines(line, false)) {
      auto entry = ct::parseEntry(piece);
      if (!entry) continue;
      // An entry that completes a pending turn leaves the grouper idle before it.
      grouper.closeBefore(*entry);
      if (!added && grouper.idle()) result.resumeAt = lineStart;
      grouper.add(*entry);
      added = true;
    }
    if (grouper.idle()) result.resumeAt = position;
  }
  if (settled && grouper.endPending()) {
    grouper.finishPending();
    if (grouper.idle()) result.resumeAt = position;
  }
  result.endPending = grouper.endPending();
  result.turns = grouper.take();
  return result;
}

}  // namespace

bool hasJsonlExtension(const fs::path& file) {
  // ASCII folding suffices: no other character lower-cases to these letters.
  const auto ext = file.extension().string();
  static constexpr std::string_view kJsonl = ".jsonl";
  return ext.size() == kJsonl.size() && std::equal(ext.begin(), ext.end(), kJsonl.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
         });
}

TranscriptTail readTranscriptFrom(const fs::path& file, std::uint64_t from, std::uint64_t maxBytes) {
  TranscriptTail tail;
  // Only regular files: opening a named pipe would block the poll for good.
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return tail;
  std::ifstream in(file, std::ios::binary);
  if (!in) return tail;
  in.seekg(0, std::ios::end);
  const auto end = in.tellg();
  if (!in || end < 0) return {};
  const auto size = static_cast<std::uint64_t>(end);
  if (size < from) return {};
  const auto offset = from + ct::tailOffset(size - from, maxBytes);
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return {};
  // Only the bytes present when the file was opened: a line appended meanwhile
  // is read whole at the next change.
  tail.bytes.resize(static_cast<std::size_t>(size - offset));
  in.read(tail.bytes.data(), static_cast<std::streamsize>(tail.bytes.size()));
  tail.bytes.resize(static_cast<std::size_t>(in.gcount()));
  tail.startsMidFile = offset > from;
  tail.start = offset;
  tail.size = size;
  return tail;
}

TranscriptTail readTranscriptTail(const fs::path& file, std::uint64_t maxBytes) {
  return readTranscriptFrom(file, 0, maxBytes);
}

namespace {

// A file whose status cannot be read counts as the oldest and empty.
FileStatus statusOrOldest(const fs::path& file) {
  return fileStatus(file).value_or(FileStatus{WallTime::min(), 0});
}

}  // namespace

TranscriptStamp stampOf(const fs::path& file) {
  const auto status = statusOrOldest(file);
  return TranscriptStamp{file, status.modified, status.size};
}

void forEachClaudeSession(const fs::path& projectsRoot, const std::function<void(const fs::path&)>& visit) {
  const auto projects = listVisibleEntries(projectsRoot);
  if (!projects) return;
  for (const auto& project : *projects) {
    if (!project.isDirectory) continue;
    const auto files = listVisibleEntries(project.path);
    if (!files) continue;
    for (const auto& file : *files)
      if (!file.isDirectory && hasJsonlExtension(file.path)) visit(file.path);
  }
}

std::optional<fs::path> newestClaudeSession(const fs::path& projectsRoot) {
  std::optional<fs::path> best;
  WallTime bestTime = WallTime::min();
  forEachClaudeSession(projectsRoot, [&](const fs::path& file) {
    const auto modified = modificationTime(file).value_or(WallTime::min());
    if (!best || modified > bestTime) {
      best = file;
      bestTime = modified;
    }
  });
  return best;
}

std::shared_ptr<TranscriptClaudeMonitor> TranscriptClaudeMonitor::create(Runtime runtime, fs::path home,
                                                                         std::shared_ptr<SettingsStore> settings,
                                                                         std::shared_ptr<WatcherDebugLog> log) {
  return std::shared_ptr<TranscriptClaudeMonitor>(
      new TranscriptClaudeMonitor(std::move(runtime), std::move(home), std::move(settings), std::move(log)));
}

TranscriptClaudeMonitor::TranscriptClaudeMonitor(Runtime runtime, fs::path home,
                                                 std::shared_ptr<SettingsStore> settings,
                                                 std::shared_ptr<WatcherDebugLog> log)
    : runtime_(std::move(runtime)),
      projectsRoot_(home / ".claude" / "projects"),
      settings_(std::move(settings)),
      log_(std::move(log)),
      lastTS_(settings_->getString(kLastTSKey).value_or("")) {}

TranscriptClaudeMonitor::~TranscriptClaudeMonitor() { timer_.cancel(); }

std::optional<fs::path> TranscriptClaudeMonitor::activeSessionFile() const {
  return newestClaudeSession(projectsRoot_);
}

void TranscriptClaudeMonitor::loadProgress() {
  const auto stored = settings_->getString(kSessionsKey);
  const auto doc = stored ? nlohmann::json::parse(*stored, nullptr, false) : nlohmann::json();
  if (doc.is_object()) {
    if (const auto it = doc.find("polledAt"); it != doc.end() && it->is_string()) polledAt_ = it->get<std::string>();
    if (const auto it = doc.find("offsets"); it != doc.end() && it->is_object()) {
      for (const auto& [file, offset] : it->items())
        if (offset.is_number_unsigned()) offsets_[fs::path(file)] = offset.get<std::uint64_t>();
    }
  }
}

void TranscriptClaudeMonitor::saveProgress() {
  nlohmann::json offsets = nlohmann::json::object();
  for (const auto& [file, offset] : offsets_) offsets[file.string()] = offset;
  settings_->setString(kSessionsKey,
                       nlohmann::json{{"polledAt", polledAt_}, {"offsets", std::move(offsets)}}.dump(
                           -1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void TranscriptClaudeMonitor::start() {
  if (started_) return;
  started_ = true;
  {
    std::lock_guard lock(mutex_);
    loadProgress();
    const auto now = isoTimestamp(runtime_.clock->now());
    const bool firstStart = polledAt_.empty() && lastTS_.empty();
    if (firstStart) {
      // The newest turn of the history, as a reference for older versions.
      if (const auto file = activeSessionFile()) {
        const auto tail = readTranscriptTail(*file);
        for (const auto& turn : ct::turnsFromLines(ct::tailLines(tail.bytes, tail.startsMidFile)))
          lastTS_ = std::max(lastTS_, turn.ts);
      }
      if (lastTS_.empty()) lastTS_ = now;
      settings_->setString(kLastTSKey, lastTS_);
    }
    // Sessions without progress are new from this floor on: the last poll of
    // the previous run, or after an upgrade the newest turn it reported; on the
    // very first start the history counts as reported.
    const auto floor = !polledAt_.empty() ? polledAt_ : firstStart ? std::max(now, lastTS_) : lastTS_;
    startFloor_ = floor;
    forEachClaudeSession(projectsRoot_, [&](const fs::path& file) {
      const auto status = statusOrOldest(file);
      const auto offset = offsets_.find(file);
      const bool unchanged = offset != offsets_.end() ? status.size == offset->second
                                                      : isoTimestamp(status.modified) <= floor;
      // A session with something new reads as changed at the first poll.
      seen_[file.native()] = unchanged ? Seen{status.modified, status.size, generation_}
                                       : Seen{WallTime::min(), UINTMAX_MAX, generation_};
    });
    polledAt_ = std::max(polledAt_, floor);
    saveProgress();
    lastPoll_ = runtime_.clock->now();
  }
  log_->log("ClaudeMonitor: watching Claude conversation (continuous)");
  const std::weak_ptr<TranscriptClaudeMonitor> weak = weak_from_this();
  timer_ = runtime_.utility->repeat(Seconds(kPollPeriod), Seconds(kPollPeriod), [weak] {
    if (auto self = weak.lock()) self->poll();
  });
}

void TranscriptClaudeMonitor::poll() {
  const auto now = runtime_.clock->now();
  const auto pollTime = isoTimestamp(now);
  std::lock_guard lock(mutex_);
  ++generation_;
  std::vector<SessionToRead> toRead;
  std::size_t listed = 0;
  forEachClaudeSession(projectsRoot_, [&](const fs::path& file) {
    ++listed;
    const auto status = statusOrOldest(file);
    auto& seen = seen_[file.native()];
    const bool isNew = seen.generation == 0;
    if (isNew || seen.modified != status.modified || seen.size != status.size)
      toRead.push_back({TranscriptStamp{file, status.modified, status.size}, false, isNew});
    else if (!pendingEnds_.empty() && pendingEnds_.contains(file.native()))
      toRead.push_back({TranscriptStamp{file, status.modified, status.size}, true, false});
    seen = Seen{status.modified, status.size, generation_};
  });
  const bool someGone = seen_.size() != listed;
  if (someGone) std::erase_if(seen_, [this](const auto& item) { return item.second.generation != generation_; });
  // Sessions are read in the order they were last written.
  std::stable_sort(toRead.begin(), toRead.end(),
                   [](const auto& a, const auto& b) { return a.stamp.modified < b.stamp.modified; });
  const auto offsetsBefore = offsets_;
  const auto lastTSBefore = lastTS_;
  for (const auto& session : toRead) readSession(session);
  if (someGone || offsets_.size() > kMaxSessions) pruneProgress();
  if (offsets_ != offsetsBefore) {
    polledAt_ = std::max(polledAt_, pollTime);
    saveProgress();
  }
  if (lastTS_ != lastTSBefore) settings_->setString(kLastTSKey, lastTS_);
  lastPoll_ = now;
}

void TranscriptClaudeMonitor::readSession(const SessionToRead& session) {
  const auto& stamp = session.stamp;
  auto offset = offsets_.find(stamp.file);
  std::optional<std::string> floor;
  if (offset == offsets_.end()) {
    if (session.isNew) {
      // A session that appeared since the last poll is new as a whole; the
      // margin only guards against a file that was merely out of sight.
      floor = std::max(startFloor_, isoTimestamp(lastPoll_ - std::chrono::seconds(kNewSessionMargin)));
    } else {
      const auto pruned = prunedFloors_.find(stamp.file);
      floor = pruned != prunedFloors_.end() ? pruned->second : startFloor_;
    }
  }
  std::uint64_t from = offset != offsets_.end() ? offset->second : 0;
  if (from > stamp.size) {
    // Rewritten shorter: read it afresh, with the newest turn reported as floor.
    from = 0;
    floor = lastTS_;
  }
  const auto tail = readTranscriptFrom(stamp.file, from);
  if (tail.size == 0) return;  // empty or unreadable now: read again at the next change
  auto read = groupTurns(tail, from, session.settled);
  offsets_[stamp.file] = read.resumeAt;
  prunedFloors_.erase(stamp.file);
  if (read.endPending)
    pendingEnds_.insert(stamp.file.native());
  else
    pendingEnds_.erase(stamp.file.native());
  for (const auto& turn : read.turns) {
    if (floor && !(turn.ts > *floor)) continue;
    lastTS_ = std::max(lastTS_, turn.ts);
    report(turn);
  }
}

void TranscriptClaudeMonitor::pruneProgress() {
  // Only sessions that are really gone are forgotten: a tree that cannot be
  // listed for a moment keeps its progress.
  const auto gone = [this](const auto& item) {
    std::error_code ec;
    return !seen_.contains(item.first.native()) && !fs::exists(item.first, ec) && !ec;
  };
  std::erase_if(offsets_, gone);
  std::erase_if(prunedFloors_, gone);
  std::erase_if(pendingEnds_, [this](const std::string& file) { return !seen_.contains(file); });
  if (offsets_.size() <= kMaxSessions) return;
  std::vector<std::pair<WallTime, fs::path>> byAge;
  for (const auto& [file, offset] : offsets_) {
    const auto seen = seen_.find(file.native());
    byAge.emplace_back(seen != seen_.end() ? seen->second.modified : WallTime::min(), file);
  }
  std::sort(byAge.begin(), byAge.end());
  // A session forgotten here that is written again is read from this time on.
  const auto now = isoTimestamp(runtime_.clock->now());
  for (std::size_t i = 0; i + kMaxSessions < byAge.size(); ++i) {
    offsets_.erase(byAge[i].second);
    prunedFloors_[byAge[i].second] = now;
  }
}

void TranscriptClaudeMonitor::report(const ct::Turn& turn) {
  const std::weak_ptr<TranscriptClaudeMonitor> weak = weak_from_this();
  if (turn.isUser) {
    log_->log("ClaudeMonitor: new user prompt (" + std::to_string(graphemeCount(turn.text)) +
              " chars) \u2192 mirroring");
    runtime_.main->post([weak, text = turn.text] {
      if (auto self = weak.lock(); self && self->onUserPrompt) self->onUserPrompt(text);
    });
    return;
  }
  if (!turn.text.empty()) {
    log_->log("ClaudeMonitor: new reply (" + std::to_string(graphemeCount(turn.text)) + " chars) \u2192 mirroring");
    runtime_.main->post([weak, text = turn.text] {
      if (auto self = weak.lock(); self && self->onReply) self->onReply(text);
    });
  }
  if (turn.question) {
    log_->log("ClaudeMonitor: questionnaire (" + std::to_string(turn.question->options.size()) +
              " options) \u2192 phone popup");
    runtime_.main->post([weak, question = *turn.question] {
      if (auto self = weak.lock(); self && self->onQuestion)
        self->onQuestion(question.text, question.options, question.descriptions);
    });
  }
}

}  // namespace deskwave
