#include "capture/claude_transcript.h"

#include <utility>

#include "capture/text_rules.h"
#include "platform/text.h"

namespace deskwave::claude_transcript {
namespace {

// The member `key` of an object; nullptr when `value` is no object or lacks it.
const Json* member(const Json& value, const char* key) {
  if (!value.is_object()) return nullptr;
  const auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

const std::string* stringMember(const Json& value, const char* key) {
  const Json* m = member(value, key);
  return m && m->is_string() ? m->get_ptr<const std::string*>() : nullptr;
}

bool isTrue(const Json& value, const char* key) {
  const Json* m = member(value, key);
  return m && m->is_boolean() && m->get<bool>();
}

bool typeIs(const Json& block, std::string_view type) {
  const auto* t = stringMember(block, "type");
  return t && *t == type;
}

// "message" → "content", whatever its kind; nullptr when absent.
const Json* content(const Json& entry) {
  const Json* message = member(entry, "message");
  return message ? member(*message, "content") : nullptr;
}

// "message" → "content" when it is an array; nullptr otherwise.
const Json* contentArray(const Json& entry) {
  const Json* c = content(entry);
  return c && c->is_array() ? c : nullptr;
}

// The "text" strings of the "text" blocks, in order; empty strings included.
std::vector<const std::string*> textBlocks(const Json& entry) {
  std::vector<const std::string*> texts;
  if (const Json* blocks = contentArray(entry)) {
    for (const auto& block : *blocks) {
      if (!typeIs(block, "text")) continue;
      if (const auto* text = stringMember(block, "text")) texts.push_back(text);
    }
  }
  return texts;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += '\n';
    out += parts[i];
  }
  return out;
}

bool endsTurn(const Json& entry) {
  const Json* message = member(entry, "message");
  const auto* reason = message ? stringMember(*message, "stop_reason") : nullptr;
  return reason && *reason == "end_turn";
}

// The inner text of the first <tag>…</tag> in `text`, trimmed; nullopt without it.
std::optional<std::string> tagged(std::string_view text, std::string_view tag) {
  const std::string open = "<" + std::string(tag) + ">";
  const std::string close = "</" + std::string(tag) + ">";
  const auto start = text.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const auto from = start + open.size();
  const auto end = text.find(close, from);
  if (end == std::string_view::npos) return std::nullopt;
  return trimWhitespace(std::string(text.substr(from, end - from)));
}

// Claude Code's record of a slash command: its tags, <command-name> among them.
bool isSlashCommand(std::string_view text) {
  return (text.starts_with("<command-name>") || text.starts_with("<command-message>")) &&
         text.find("<command-name>") != std::string_view::npos;
}

// A slash command as the person typed it: "/name args".
std::string slashCommandText(std::string_view text) {
  auto name = tagged(text, "command-name").value_or("");
  if (!name.empty() && name.front() != '/') name.insert(name.begin(), '/');
  const auto args = tagged(text, "command-args").value_or("");
  return args.empty() ? name : name + " " + args;
}

// Claude Code's older versions leave "stop_reason" empty and mark the end of a
// turn with a system entry written right after the last assistant entry.
bool isTurnEndMarker(const Json& entry) {
  const auto* subtype = stringMember(entry, "subtype");
  return subtype && (*subtype == "stop_hook_summary" || *subtype == "turn_duration");
}

// "message" → "id": one message of the model may be written as several
// entries, one per block, all with the same id.
std::optional<std::string> messageId(const Json& entry) {
  const Json* message = member(entry, "message");
  const auto* id = message ? stringMember(*message, "id") : nullptr;
  return id ? std::optional<std::string>(*id) : std::nullopt;
}

// A built-in slash command as typed ("/name args"), from the system entry
// Claude Code writes for it; nullopt for any other entry (its output included).
std::optional<std::string> localCommand(const Json& entry) {
  const auto* subtype = stringMember(entry, "subtype");
  if (!subtype || *subtype != "local_command") return std::nullopt;
  const auto* text = stringMember(entry, "content");
  if (!text) {
    const Json* c = content(entry);
    text = c && c->is_string() ? c->get_ptr<const std::string*>() : nullptr;
  }
  if (!text) return std::nullopt;
  const auto t = trimWhitespace(*text);
  if (!isSlashCommand(t)) return std::nullopt;
  return slashCommandText(t);
}

enum class UserEntryKind {
  toolResult,    // no text: the result of a tool call
  prompt,        // text the person typed
  command,       // a slash command or a shell-mode command the person typed
  interruption,  // the person stopped the running turn
  generated,     // written by Claude Code itself (notifications, command output)
};
struct UserEntryClass {
  UserEntryKind kind;
  std::string text;  // as typed, trimmed: for prompts and commands
};

// Tells what a user entry is. Claude Code writes several kinds of user entries
// that nobody typed without marking them as meta; they are recognised by the
// tags their text starts with.
UserEntryClass userEntryKind(const Json& entry) {
  if (!userHasText(entry)) return {UserEntryKind::toolResult, {}};
  auto text = trimWhitespace(userText(entry).value_or(""));
  const std::string_view t = text;
  if (t.starts_with("[Request interrupted by user")) return {UserEntryKind::interruption, {}};
  if (isSlashCommand(t)) return {UserEntryKind::command, slashCommandText(t)};
  if (t.starts_with("<bash-input>")) {
    const auto command = tagged(t, "bash-input").value_or("");
    return {UserEntryKind::command, command.empty() ? std::string() : "!" + command};
  }
  for (const std::string_view generated : {"<task-notification>", "<local-command-stdout>", "<local-command-stderr>",
                                           "<bash-stdout>", "<bash-stderr>"}) {
    if (t.starts_with(generated)) return {UserEntryKind::generated, {}};
  }
  return {UserEntryKind::prompt, std::move(text)};
}

}  // namespace

void TurnGrouper::closeBefore(const Json& entry) {
  if (!endingMessage_ || !isDeskConversation(entry)) return;
  const auto* type = stringMember(entry, "type");
  if (!type) return;
  if (!(*type == "assistant" && messageId(entry) == endingMessage_)) finishPending();
}

void TurnGrouper::add(const Json& entry) {
  closeBefore(entry);
  if (!isDeskConversation(entry)) return;
  const auto* type = stringMember(entry, "type");
  if (!type) return;
  if (*type == "assistant") {
    addAssistant(entry);
  } else if (*type == "user") {
    addUser(entry);
  } else if (*type == "system") {
    if (isTurnEndMarker(entry)) {
      finishReply();
    } else if (auto command = localCommand(entry)) {
      // A built-in command the person typed, answered by Claude Code itself.
      if (const auto* ts = stringMember(entry, "timestamp"); ts && !command->empty())
        turns_.push_back(Turn{*ts, std::move(*command), true, std::nullopt});
    }
  }
}

void TurnGrouper::finishPending() {
  if (endingMessage_) finishReply();
}

std::vector<Turn> TurnGrouper::take() { return std::exchange(turns_, {}); }

void TurnGrouper::addAssistant(const Json& entry) {
  if (auto text = assistantText(entry)) parts_.push_back(std::move(*text));
  if (const auto* ts = stringMember(entry, "timestamp")) currentTS_ = *ts;
  if (auto question = questionOf(entry)) {
    turns_.push_back(Turn{currentTS_, text_rules::cleanAssistantText(joined(parts_)), false, std::move(question)});
    reset();
  } else if (endsTurn(entry)) {
    // The message's other blocks may follow in entries of their own.
    endingMessage_ = messageId(entry).value_or("");
  }
}

void TurnGrouper::finishReply() {
  auto text = text_rules::cleanAssistantText(joined(parts_));
  if (!text.empty() && !text_rules::looksLikeDeskwaveDebugLog(text))
    turns_.push_back(Turn{currentTS_, std::move(text), false, std::nullopt});
  reset();
}

void TurnGrouper::addUser(const Json& entry) {
  const auto* ts = stringMember(entry, "timestamp");
  const auto kind = userEntryKind(entry);
  switch (kind.kind) {
    case UserEntryKind::toolResult:  // the assistant's turn goes on
    case UserEntryKind::generated:   // written by Claude Code, not typed: mirrored nowhere
      return;
    case UserEntryKind::interruption:  // the turn ends without a reply
      reset();
      return;
    case UserEntryKind::command:  // typed, but it neither ends nor resets a turn
      if (ts && !kind.text.empty()) turns_.push_back(Turn{*ts, kind.text, true, std::nullopt});
      return;
    case UserEntryKind::prompt:
      break;
  }
  reset();
  if (ts && !kind.text.empty() && !text_rules::looksLikeDeskwaveDebugLog(kind.text))
    turns_.push_back(Turn{*ts, kind.text, true, std::nullopt});
}

void TurnGrouper::reset() {
  parts_.clear();
  currentTS_.clear();
  endingMessage_.reset();
}

namespace {

// Feeds entries one at a time and follows the turn that is running.
class ActivityTracker {
 public:
  explicit ActivityTracker(Dialect dialect) : dialect_(dialect) {}

  void add(const Json& entry) {
    if (dialect_ == Dialect::claude && !isDeskConversation(entry)) return;
    const auto* role = stringMember(entry, dialect_ == Dialect::claude ? "type" : "role");
    if (!role) return;
    if (*role == "assistant") {
      addAssistant(entry);
    } else if (*role == "user") {
      addUser(entry);
    } else if (dialect_ == Dialect::claude && *role == "system" && isTurnEndMarker(entry)) {
      endTurn();
    }
  }

  std::optional<std::string> result() const {
    if (!running_) return std::nullopt;
    auto text = trimWhitespace(text_rules::cleanAssistantText(joined(parts_)));
    if (text.empty()) return std::nullopt;
    return text;
  }

 private:
  void addAssistant(const Json& entry) {
    const auto texts = textBlocks(entry);
    for (const auto* text : texts)
      if (!text->empty() && trimWhitespace(*text) != "[REDACTED]") parts_.push_back(*text);
    bool tool = false;
    bool thinking = false;
    if (const Json* blocks = contentArray(entry)) {
      for (const auto& block : *blocks) {
        if (typeIs(block, "tool_use"))
          tool = true;
        else if (typeIs(block, "thinking"))
          thinking = true;
      }
    }
    if (tool || thinking) {
      running_ = true;
    } else if (dialect_ == Dialect::claude && endsTurn(entry)) {
      endTurn();  // whether or not the closing entry carries text
    } else if (!texts.empty()) {
      running_ = true;
    }  // an entry with nothing said leaves the state as it is
  }

  void addUser(const Json& entry) {
    if (dialect_ == Dialect::claude) {
      switch (userEntryKind(entry).kind) {
        case UserEntryKind::interruption:
          endTurn();
          return;
        case UserEntryKind::generated:
        case UserEntryKind::command:
          return;  // the assistant's own entries tell whether a turn follows
        case UserEntryKind::toolResult:
        case UserEntryKind::prompt:
          break;
      }
    }
    // A new prompt (text blocks, or Claude's plain string content) starts a new
    // reply; a tool result keeps what the running turn has said.
    const Json* c = content(entry);
    const bool prompt =
        !textBlocks(entry).empty() || (c && c->is_string() && !c->get_ref<const std::string&>().empty());
    if (prompt) parts_.clear();
    running_ = true;
  }

  void endTurn() {
    running_ = false;
    parts_.clear();
  }

  Dialect dialect_;
  bool running_ = false;
  std::vector<std::string> parts_;
};

}  // namespace

std::uint64_t tailOffset(std::uint64_t size, std::uint64_t maxBytes) { return size >= maxBytes ? size - maxBytes : 0; }

std::vector<std::string_view> tailLines(std::string_view bytes, bool startsMidFile) {
  std::vector<std::string_view> lines;
  // Whole lines end at LF; a CR inside one (CR LF endings, old Mac files) splits it further.
  auto addPieces = [&lines](std::string_view line) {
    while (!line.empty()) {
      const auto cr = line.find('\r');
      const auto piece = line.substr(0, cr);
      if (!piece.empty()) lines.push_back(piece);
      if (cr == std::string_view::npos) break;
      line.remove_prefix(cr + 1);
    }
  };
  bool first = true;
  while (!bytes.empty()) {
    const auto lf = bytes.find('\n');
    auto line = bytes.substr(0, lf);
    if (first && startsMidFile) {
      // The bytes before the first line break belong to a line that began
      // before the reading: drop them, whatever character they end in.
      const auto cr = line.find('\r');
      line = cr == std::string_view::npos ? std::string_view() : line.substr(cr + 1);
    }
    first = false;
    addPieces(line);
    if (lf == std::string_view::npos) break;
    bytes.remove_prefix(lf + 1);
  }
  return lines;
}

std::optional<Json> parseEntry(std::string_view line) {
  auto value = Json::parse(line, nullptr, false);
  if (!value.is_object()) return std::nullopt;  // a discarded parse is no object either
  return value;
}

std::vector<Json> parseEntries(const std::vector<std::string_view>& lines) {
  std::vector<Json> entries;
  entries.reserve(lines.size());
  for (const auto line : lines)
    if (auto entry = parseEntry(line)) entries.push_back(std::move(*entry));
  return entries;
}

bool isDeskConversation(const Json& entry) {
  if (isTrue(entry, "isSidechain")) return false;
  const auto* type = stringMember(entry, "type");
  if (type && *type == "user" && (isTrue(entry, "isMeta") || isTrue(entry, "isCompactSummary"))) return false;
  return true;
}

std::optional<std::string> assistantText(const Json& entry) {
  if (!contentArray(entry)) return std::nullopt;
  std::string text;
  bool first = true;
  for (const auto* part : textBlocks(entry)) {
    if (!first) text += '\n';
    text += *part;
    first = false;
  }
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> userText(const Json& entry) {
  const Json* c = content(entry);
  if (c && c->is_string()) {
    const auto& s = c->get_ref<const std::string&>();
    if (!s.empty()) return s;
  }
  return assistantText(entry);  // the same join of "text" blocks
}

bool userHasText(const Json& entry) {
  const Json* c = content(entry);
  if (!c) return false;
  if (c->is_string()) return !c->get_ref<const std::string&>().empty();
  if (!c->is_array()) return false;
  for (const auto& block : *c)
    if (typeIs(block, "text")) return true;
  return false;
}

std::optional<Question> questionOf(const Json& entry) {
  const Json* blocks = contentArray(entry);
  if (!blocks) return std::nullopt;
  for (const auto& block : *blocks) {
    if (!typeIs(block, "tool_use")) continue;
    const auto* name = stringMember(block, "name");
    if (!name || *name != "AskUserQuestion") continue;
    const Json* input = member(block, "input");
    const Json* questions = input ? member(*input, "questions") : nullptr;
    if (!questions || !questions->is_array()) continue;
    for (const auto& q : *questions) {
      const Json* options = member(q, "options");
      if (!options || !options->is_array() || options->empty()) continue;
      Question result;
      if (const auto* text = stringMember(q, "question")) result.text = *text;
      for (const auto& option : *options) {
        const auto* label = stringMember(option, "label");
        const auto* description = stringMember(option, "description");
        result.options.push_back(label ? *label : std::string());
        result.descriptions.push_back(description ? *description : std::string());
      }
      return result;
    }
  }
  return std::nullopt;
}

std::vector<Turn> turns(const std::vector<Json>& entries) {
  TurnGrouper builder;
  for (const auto& entry : entries) builder.add(entry);
  builder.finishPending();
  return builder.take();
}

std::vector<Turn> turnsFromLines(const std::vector<std::string_view>& lines) {
  TurnGrouper builder;
  for (const auto line : lines)
    if (auto entry = parseEntry(line)) builder.add(*entry);
  builder.finishPending();
  return builder.take();
}

std::optional<std::string> runningTurnText(Dialect dialect, const std::vector<Json>& entries) {
  ActivityTracker tracker(dialect);
  for (const auto& entry : entries) tracker.add(entry);
  return tracker.result();
}

std::optional<std::string> runningTurnTextFromLines(Dialect dialect, const std::vector<std::string_view>& lines) {
  ActivityTracker tracker(dialect);
  for (const auto line : lines)
    if (auto entry = parseEntry(line)) tracker.add(*entry);
  return tracker.result();
}

}  // namespace deskwave::claude_transcript
