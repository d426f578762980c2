#include "capture/transcript_claude_monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

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

}  // namespace

bool hasJsonlExtension(const fs::path& file) {
  // ASCII folding suffices: no other character lower-cases to these letters.
  const auto ext = file.extension().string();
  static constexpr std::string_view kJsonl = ".jsonl";
  return ext.size() == kJsonl.size() && std::equal(ext.begin(), ext.end(), kJsonl.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
         });
}

TranscriptTail readTranscriptTail(const fs::path& file, std::uint64_t maxBytes) {
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
  const auto offset = ct::tailOffset(size, maxBytes);
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return {};
  // Only the bytes present when the file was opened: a line appended meanwhile
  // is read whole at the next change.
  tail.bytes.resize(static_cast<std::size_t>(size - offset));
  in.read(tail.bytes.data(), static_cast<std::streamsize>(tail.bytes.size()));
  tail.bytes.resize(static_cast<std::size_t>(in.gcount()));
  tail.startsMidFile = offset > 0;
  return tail;
}

TranscriptStamp stampOf(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  return TranscriptStamp{file, modificationTime(file).value_or(WallTime::min()), ec ? 0 : size};
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
  const auto projects = listVisibleEntries(projectsRoot_);
  if (!projects) return std::nullopt;
  std::optional<fs::path> best;
  WallTime bestTime = WallTime::min();
  for (const auto& project : *projects) {
    if (!project.isDirectory) continue;
    const auto files = listVisibleEntries(project.path);
    if (!files) continue;
    for (const auto& file : *files) {
      if (file.isDirectory || !hasJsonlExtension(file.path)) continue;
      const auto modified = modificationTime(file.path).value_or(WallTime::min());
      if (!best || modified > bestTime) {
        best = file.path;
        bestTime = modified;
      }
    }
  }
  return best;
}

std::vector<ct::Turn> TranscriptClaudeMonitor::readTurns(const fs::path& file) const {
  const auto tail = readTranscriptTail(file);
  return ct::turnsFromLines(ct::tailLines(tail.bytes, tail.startsMidFile));
}

void TranscriptClaudeMonitor::start() {
  if (started_) return;
  started_ = true;
  {
    std::lock_guard lock(mutex_);
    if (lastTS_.empty()) {
      // The history written so far counts as reported.
      if (const auto file = activeSessionFile()) {
        for (const auto& turn : readTurns(*file)) lastTS_ = std::max(lastTS_, turn.ts);
      }
      if (lastTS_.empty()) lastTS_ = isoTimestamp(runtime_.clock->now());
      settings_->setString(kLastTSKey, lastTS_);
    }
  }
  log_->log("ClaudeMonitor: watching Claude conversation (continuous)");
  const std::weak_ptr<TranscriptClaudeMonitor> weak = weak_from_this();
  timer_ = runtime_.utility->repeat(Seconds(kPollPeriod), Seconds(kPollPeriod), [weak] {
    if (auto self = weak.lock()) self->poll();
  });
}

void TranscriptClaudeMonitor::poll() {
  const auto file = activeSessionFile();
  if (!file) return;
  auto stamp = stampOf(*file);
  std::lock_guard lock(mutex_);
  if (lastSeen_ == stamp) return;  // nothing changed: no reading
  lastSeen_ = std::move(stamp);
  const auto before = lastTS_;
  for (const auto& turn : readTurns(*file)) {
    if (!(turn.ts > lastTS_)) continue;
    lastTS_ = turn.ts;
    report(turn);
  }
  if (lastTS_ != before) settings_->setString(kLastTSKey, lastTS_);
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
