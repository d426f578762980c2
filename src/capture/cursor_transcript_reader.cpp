#include "capture/cursor_transcript_reader.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "capture/text_rules.h"
#include "platform/file_info.h"
#include "platform/text.h"

namespace deskwave {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Candidate {
  fs::path file;
  WallTime modified;  // the distant past when unknown
};

bool hasJsonlExtension(const fs::path& p) { return lowercased(p.extension().string()) == ".jsonl"; }

void appendCandidate(const fs::path& file, std::vector<Candidate>& out) {
  out.push_back(Candidate{file, modificationTime(file).value_or(WallTime::min())});
}

// Transcripts lie in an "agent-transcripts" folder or its immediate sub-folders.
void collectJSONLFiles(const fs::path& folder, std::vector<Candidate>& out) {
  const auto entries = listVisibleEntries(folder);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (entry.isDirectory) {
      const auto inner = listVisibleEntries(entry.path);
      if (!inner) continue;
      for (const auto& file : *inner)
        if (hasJsonlExtension(file.path)) appendCandidate(file.path, out);
    } else if (hasJsonlExtension(entry.path)) {
      appendCandidate(entry.path, out);
    }
  }
}

// The blocks of type "text" joined by newlines; nullopt without the structure.
std::optional<std::string> blockText(const Json& line) {
  if (!line.is_object()) return std::nullopt;
  auto message = line.find("message");
  if (message == line.end() || !message->is_object()) return std::nullopt;
  auto content = message->find("content");
  if (content == message->end() || !content->is_array()) return std::nullopt;
  std::string text;
  bool first = true;
  for (const auto& block : *content) {
    if (!block.is_object()) return std::nullopt;
    auto type = block.find("type");
    if (type == block.end() || !type->is_string() || *type != "text") continue;
    auto t = block.find("text");
    if (t == block.end() || !t->is_string()) continue;
    if (!first) text += '\n';
    text += t->get<std::string>();
    first = false;
  }
  return text;
}

std::optional<std::string> roleOf(const Json& line) {
  if (!line.is_object()) return std::nullopt;
  auto role = line.find("role");
  if (role == line.end() || !role->is_string()) return std::nullopt;
  return role->get<std::string>();
}

Json parseLine(std::string_view line) { return Json::parse(line, nullptr, false); }

std::optional<std::string> assistantTextOf(const Json& line) {
  if (roleOf(line) != "assistant") return std::nullopt;
  auto text = blockText(line);
  if (!text) return std::nullopt;
  return text_rules::cleanAssistantText(*text);
}

}  // namespace

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
  auto lines = text_rules::splitLines(text);
  std::erase_if(lines, [](std::string_view l) { return l.empty(); });
  return lines;
}

std::optional<std::string> CursorTranscriptReader::userText(std::string_view jsonLine) {
  return blockText(parseLine(jsonLine));
}

std::optional<std::string> CursorTranscriptReader::assistantText(std::string_view jsonLine) {
  return assistantTextOf(parseLine(jsonLine));
}

std::optional<std::string> CursorTranscriptReader::latestAssistantAfterUserPrompt(
    const std::vector<std::string_view>& lines, const std::string& sentPrompt) {
  const auto key = text_rules::comparisonForm(sentPrompt);
  std::vector<Json> parsed;
  parsed.reserve(lines.size());
  for (auto line : lines) parsed.push_back(parseLine(line));

  std::optional<std::size_t> anchor;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    if (roleOf(parsed[i]) != "user") continue;
    auto text = blockText(parsed[i]);
    if (text && text_rules::userTextMatchesPrompt(*text, key)) anchor = i;
  }
  if (!anchor) {
    if (!key.empty()) return std::nullopt;
    for (auto it = parsed.rbegin(); it != parsed.rend(); ++it) {
      auto text = assistantTextOf(*it);
      if (text && !text->empty()) return text;
    }
    return std::nullopt;
  }
  std::optional<std::string> result;
  for (std::size_t i = *anchor + 1; i < parsed.size(); ++i) {
    const auto role = roleOf(parsed[i]);
    if (role == "user") break;
    if (role != "assistant") continue;
    auto text = assistantTextOf(parsed[i]);
    if (text && !text->empty()) result = std::move(text);
  }
  return result;
}

CursorTranscriptReader::CursorTranscriptReader(std::string sentPrompt, fs::path home, std::shared_ptr<Clock> clock)
    : sentPrompt_(std::move(sentPrompt)), projectsRoot_(home / ".cursor" / "projects"), clock_(std::move(clock)),
      watchStartedAt_(clock_->now()) {
  const auto snapshot = bestTranscriptSnapshot(watchStartedAt_);
  tracked_ = snapshot.file;
  lastStatus_ = snapshot.file ? "tracking " + snapshot.file->filename().string() + " @ " +
                                    std::to_string(snapshot.lines) + " lines"
                              : "no transcript file found";
}

CursorTranscriptReader::Snapshot CursorTranscriptReader::bestTranscriptSnapshot(WallTime since) const {
  const auto projects = listVisibleEntries(projectsRoot_);
  if (!projects) return {};
  std::vector<Candidate> candidates;
  for (const auto& entry : *projects)
    if (entry.isDirectory) collectJSONLFiles(entry.path / "agent-transcripts", candidates);
  std::vector<Candidate> recent;
  std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(recent),
               [&](const Candidate& c) { return c.modified >= since; });
  auto& pool = recent.empty() ? candidates : recent;
  if (pool.empty()) return {};
  std::stable_sort(pool.begin(), pool.end(), [](const Candidate& a, const Candidate& b) { return a.modified > b.modified; });
  Snapshot snapshot{pool.front().file, 0};
  if (auto text = readWholeFile(pool.front().file); text && isValidUtf8(*text)) snapshot.lines = nonEmptyLines(*text).size();
  return snapshot;
}

void CursorTranscriptReader::adoptActiveTranscriptIfNeeded() {
  const auto since = watchStartedAt_ - std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(kAdoptWindow));
  const auto snapshot = bestTranscriptSnapshot(since);
  if (!snapshot.file) return;
  if (!tracked_) {
    tracked_ = snapshot.file;
    return;
  }
  if (*snapshot.file == *tracked_) return;
  tracked_ = snapshot.file;  // another chat became the newest
  pendingReply_.reset();
  pendingStablePolls_ = 0;
}

std::optional<std::string> CursorTranscriptReader::pollStableReply() {
  adoptActiveTranscriptIfNeeded();
  if (!tracked_) {
    lastStatus_ = "no transcript file";
    return std::nullopt;
  }
  const auto name = tracked_->filename().string();
  if (!isReadable(*tracked_)) {
    lastStatus_ = "cannot read " + name + " (check Deskwave can read ~/.cursor)";
    return std::nullopt;
  }
  const auto text = readWholeFile(*tracked_);
  if (!text || !isValidUtf8(*text)) {
    lastStatus_ = "failed to decode " + name;
    return std::nullopt;
  }
  const auto lines = nonEmptyLines(*text);
  auto reply = latestAssistantAfterUserPrompt(lines, sentPrompt_);
  if (reply && text_rules::isValidReply(*reply, sentPrompt_) && !text_rules::looksLikeDeskwaveDebugLog(*reply)) {
    const auto length = graphemeCount(*reply);
    const int needed = length < kLongReply ? 1 : 2;
    if (pendingReply_ == reply) {
      ++pendingStablePolls_;
    } else {
      pendingReply_ = reply;
      pendingStablePolls_ = 1;
    }
    lastStatus_ = "assistant " + std::to_string(length) + " chars (stable " + std::to_string(pendingStablePolls_) +
                  "/" + std::to_string(needed) + ")";
    if (pendingStablePolls_ >= needed) return reply;
    return std::nullopt;
  }
  pendingReply_.reset();
  pendingStablePolls_ = 0;
  lastStatus_ = "waiting for assistant reply (" + std::to_string(lines.size()) + " lines)";
  return std::nullopt;
}

}  // namespace deskwave
