#include "capture/cursor_db_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <variant>
#include <vector>

#include "capture/cursor_composer_state.h"
#include "capture/text_rules.h"
#include "platform/text.h"

namespace deskwave {
namespace {

using Json = nlohmann::json;

struct Bubble {
  std::string createdAt;
  std::int64_t type = 0;  // 1: the user's message, 2: the assistant's
  std::string text;
  // An assistant bubble without text that runs a tool: when one is the
  // latest, the assistant is not done.
  bool tool = false;
};

// What the assistant wrote after the prompt, up to the next user message.
struct TurnAfterPrompt {
  std::string reply;          // the cleaned texts joined with a blank line; may be empty
  bool endsWithTool = false;  // the latest assistant bubble runs a tool
};

std::int64_t typeOf(const Json& object) {
  auto it = object.find("type");
  if (it == object.end() || !it->is_number()) return 0;
  if (it->is_number_unsigned()) {
    const auto u = it->get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ? 0 : static_cast<std::int64_t>(u);
  }
  if (it->is_number_integer()) return it->get<std::int64_t>();
  const double d = it->get<double>();
  // Truncate fractions; values beyond the integer range count as no type, like
  // integers too large for 64 bits above.
  if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return 0;
  return static_cast<std::int64_t>(d);
}

bool runsTool(const Json& bubble) {
  const auto former = bubble.find("toolFormerData");
  if (former != bubble.end() && former->is_object()) return true;
  const auto capability = bubble.find("capabilityType");
  return capability != bubble.end() && !capability->is_null();
}

// The conversation's messages in time order. Messages without text are left
// out, except the assistant's tool bubbles, which tell that the turn goes on;
// a message with text is read as text whatever else it carries.
std::vector<Bubble> bubbles(const CursorStateDb& db, const std::string& conversation) {
  const std::string prefix = "bubbleId:" + conversation;
  static const std::vector<std::string> kFields = {"type", "text", "createdAt", "toolFormerData", "capabilityType"};
  std::vector<Bubble> out;
  for (const auto& row :
       db.rows("SELECT value FROM cursorDiskKV WHERE key >= ? AND key < ?", {prefix + ":", prefix + ";"})) {
    const auto j = parseTopLevelMembers(row.front(), kFields);
    if (!j.is_object()) continue;
    Bubble b;
    b.type = typeOf(j);
    if (auto t = j.find("text"); t != j.end() && t->is_string()) b.text = t->get<std::string>();
    if (auto c = j.find("createdAt"); c != j.end() && c->is_string()) b.createdAt = c->get<std::string>();
    const bool empty = trimWhitespace(b.text).empty();
    b.tool = b.type == 2 && empty && runsTool(j);
    if (empty && !b.tool) continue;
    out.push_back(std::move(b));
  }
  std::stable_sort(out.begin(), out.end(), [](const Bubble& a, const Bubble& b) { return a.createdAt < b.createdAt; });
  return out;
}

// Nullopt when no user message carries the prompt.
std::optional<TurnAfterPrompt> turnAfterPrompt(const std::vector<Bubble>& list, const std::string& sentPrompt) {
  const auto key = text_rules::comparisonForm(sentPrompt);
  // The last user message carrying the prompt; searching from the end spares
  // the comparison of every older user message.
  std::size_t anchor = list.size();
  for (std::size_t i = list.size(); i-- > 0;) {
    if (list[i].type == 1 && text_rules::userTextMatchesPrompt(list[i].text, key)) {
      anchor = i;
      break;
    }
  }
  if (anchor == list.size()) return std::nullopt;
  TurnAfterPrompt turn;
  for (std::size_t i = anchor + 1; i < list.size() && list[i].type != 1; ++i) {
    if (list[i].type != 2) continue;
    turn.endsWithTool = list[i].tool;
    const auto part = text_rules::cleanAssistantText(list[i].text);
    if (part.empty()) continue;
    if (!turn.reply.empty()) turn.reply += "\n\n";
    turn.reply += part;
  }
  turn.reply = trimWhitespace(turn.reply);
  return turn;
}

}  // namespace

std::filesystem::path cursorStateDatabasePath(const std::filesystem::path& home) {
#ifdef __APPLE__
  return home / "Library" / "Application Support" / "Cursor" / "User" / "globalStorage" / "state.vscdb";
#else
  return home / ".config" / "Cursor" / "User" / "globalStorage" / "state.vscdb";
#endif
}

CursorDBReader::CursorDBReader(std::string sentPrompt, std::filesystem::path dbPath)
    : sentPrompt_(std::move(sentPrompt)), dbPath_(std::move(dbPath)) {}

std::optional<std::string> CursorDBReader::pollStableReply() {
  auto opened = CursorStateDb::open(dbPath_);
  if (const auto* failure = std::get_if<CursorStateDb::OpenFailure>(&opened)) {
    dbAvailable_ = false;
    lastStatus_ = *failure == CursorStateDb::OpenFailure::notFound ? "Cursor DB not found" : "cannot open Cursor DB";
    return std::nullopt;
  }
  const auto& db = std::get<CursorStateDb>(opened);
  dbAvailable_ = true;

  const auto conversation = newestCursorComposerId(db);
  if (!conversation) {
    lastStatus_ = "no active conversation";
    return std::nullopt;
  }
  const auto list = bubbles(db, *conversation);
  if (list.empty()) {
    lastStatus_ = "no bubbles in active convo";
    return std::nullopt;
  }
  const auto bubbleCount = " (" + std::to_string(list.size()) + " bubbles)";
  auto notYet = [this](std::string status) -> std::optional<std::string> {
    pendingReply_.reset();
    pendingStablePolls_ = 0;
    lastStatus_ = std::move(status);
    return std::nullopt;
  };
  const auto turn = turnAfterPrompt(list, sentPrompt_);
  if (!turn) return notYet("waiting for assistant reply" + bubbleCount);
  // Text written while the turn runs is narration between tool calls, not yet
  // the answer.
  const auto state = cursorComposerState(db, *conversation);
  if (state.generating()) return notYet("assistant generating" + bubbleCount);
  if (turn->reply.empty()) return notYet("waiting for assistant reply" + bubbleCount);
  // Old records carry no status: a tool bubble after the text means the
  // assistant is still at work.
  if (!state.status && turn->endsWithTool) return notYet("assistant running tools" + bubbleCount);
  const std::string& reply = turn->reply;
  if (!text_rules::isValidReply(reply, sentPrompt_) || text_rules::looksLikeDeskwaveDebugLog(reply))
    return notYet("reply rejected (echo/debug)");
  const auto length = graphemeCount(reply);
  const int needed = length >= kLongReply ? 2 : 1;
  if (pendingReply_ == reply) {
    ++pendingStablePolls_;
  } else {
    pendingReply_ = reply;
    pendingStablePolls_ = 1;
  }
  lastStatus_ = "assistant " + std::to_string(length) + " chars (stable " + std::to_string(pendingStablePolls_) + "/" +
                std::to_string(needed) + ")";
  if (pendingStablePolls_ >= needed) return reply;
  return std::nullopt;
}

}  // namespace deskwave
