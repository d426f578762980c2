#pragma once

// Reading the JSON-lines transcripts that Claude and Cursor write: from the raw
// bytes of a file's tail to lines, entries, conversation turns and the text of
// a turn still running. Everything here is pure (no files, no clock, no
// threads), safe to call from any thread and on any input.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace deskwave::claude_transcript {

using Json = nlohmann::json;

// Only this many bytes at the end of a transcript are read.
inline constexpr std::uint64_t kTailBytes = 1'000'000;

// The offset at which reading a file of `size` bytes starts so that at most
// `maxBytes` are read: size - maxBytes when size >= maxBytes, else 0.
std::uint64_t tailOffset(std::uint64_t size, std::uint64_t maxBytes = kTailBytes);

// Splits the bytes read from a transcript into its non-empty lines.
// `startsMidFile` tells that the bytes begin after the file's first byte: the
// first piece, up to the first line break, is then part of a line cut by the
// reading and is dropped, even when the cut fell inside a multi-byte character.
// Lines break at LF and CR bytes only (JSON text never holds them raw, while it
// may hold raw U+2028 and U+2029, which must not split an entry). Work on bytes:
// a line that is not well-formed UTF-8 (still being written, stray bytes) is
// returned as it is and rejected by parseEntry on its own, so it never hides
// the other lines. The views point into `bytes`.
std::vector<std::string_view> tailLines(std::string_view bytes, bool startsMidFile);

// The JSON object on one line; nullopt when the line is not a complete JSON
// object (malformed, half-written, not well-formed UTF-8, or another kind of
// JSON value).
std::optional<Json> parseEntry(std::string_view line);

// The lines that parse as JSON objects, in order.
std::vector<Json> parseEntries(const std::vector<std::string_view>& lines);

// False for entries that are not part of the user's conversation at the desk:
// entries of a subagent ("isSidechain": true, of any type), and user entries
// that Claude adds itself ("isMeta": true, such as command caveats, and
// "isCompactSummary": true, the summary written when a conversation is
// compacted).
bool isDeskConversation(const Json& entry);

// The "text" of every "text" block of "message" → "content" (an array), in
// order, joined with "\n"; nullopt without that structure or when the joined
// text is empty.
std::optional<std::string> assistantText(const Json& entry);

// "message" → "content" when it is a non-empty string; otherwise its "text"
// blocks joined with "\n" when that is not empty; otherwise nullopt.
std::optional<std::string> userText(const Json& entry);

// True when "message" → "content" is a non-empty string or an array holding a
// block of type "text". A user entry that only carries tool results has none.
bool userHasText(const Json& entry);

// A multiple-choice question asked with the AskUserQuestion tool. `options` and
// `descriptions` have equal lengths, one entry per choice.
struct Question {
  std::string text;
  std::vector<std::string> options;
  std::vector<std::string> descriptions;

  bool operator==(const Question&) const = default;
};

// The first question with at least one option of the first "tool_use" block
// named "AskUserQuestion" that has one. A missing question text, label or
// description reads as the empty string.
std::optional<Question> questionOf(const Json& entry);

// One step of the desk conversation: a completed assistant reply, an assistant
// question (with the text written before it in the same turn, possibly empty),
// or a prompt the user typed. `ts` is the entry's time stamp as written.
struct Turn {
  std::string ts;
  std::string text;
  bool isUser = false;
  std::optional<Question> question;

  bool operator==(const Turn&) const = default;
};

// Groups transcript entries into turns, one entry at a time (see turns()).
// Between turns nothing is carried from one entry to the next, so a reader
// that stops after an entry that left the grouper idle can later resume after
// it with a new grouper and lose nothing.
//
// Claude Code writes one entry per block of a message, each carrying the
// message's final stop reason: an entry with stop reason "end_turn" ends the
// turn once the next entry shows that its message is complete (an entry of
// another message, or of another kind). Until then the end is pending;
// finishPending() ends it, for a transcript that has rested since.
class TurnGrouper {
 public:
  void add(const Json& entry);
  // Ends a pending turn when `entry` shows that its message is complete, as
  // add(entry) does first: a reader that tracks positions calls it before add
  // to see whether the grouper is idle between the two entries.
  void closeBefore(const Json& entry);
  // True when no reply is being collected: the state of a new grouper.
  bool idle() const { return parts_.empty() && currentTS_.empty() && !endingMessage_; }
  // The last entry read ended a turn whose message may go on.
  bool endPending() const { return endingMessage_.has_value(); }
  // Ends a pending turn now.
  void finishPending();
  // The turns formed since the last call.
  std::vector<Turn> take();

 private:
  void addAssistant(const Json& entry);
  void addUser(const Json& entry);
  void finishReply();
  void reset();

  std::vector<std::string> parts_;
  std::string currentTS_;
  std::optional<std::string> endingMessage_;  // the id of the message whose end is pending
  std::vector<Turn> turns_;
};

// Groups transcript entries into turns, in order. Assistant texts accumulate
// until an entry asks a question or has stop reason "end_turn" (with the other
// entries of the same message that follow it); the turn takes
// the time stamp of its last assistant entry and its texts joined with "\n" and
// cleaned. Claude Code's older versions end a turn with a "system" entry of
// subtype "stop_hook_summary" or "turn_duration" instead. A question turn is
// kept even with empty text; a reply turn only with non-empty text that is not
// this program's debug log. A user entry with typed text starts afresh and,
// when it has a time stamp and its trimmed text is not empty (nor debug-log
// text), is a user turn; a user entry without text (a tool result) changes
// nothing. User entries that Claude Code writes itself are told by the tag
// their text starts with: a slash command is a user turn "/name args" and a
// shell-mode command "!command", neither ending the running turn; an
// interruption ("[Request interrupted by user…") ends the turn without a
// reply; task notifications and the output of commands are ignored. Entries
// outside the desk conversation (see isDeskConversation) and of other types
// are ignored.
std::vector<Turn> turns(const std::vector<Json>& entries);  // a pending end at the end included

// turns() of the lines of a transcript tail (see tailLines), a pending end
// of turn at the end included.
std::vector<Turn> turnsFromLines(const std::vector<std::string_view>& lines);

// How a tool's transcript names an entry's role and marks the end of a turn.
// Claude: the role is "type", "message" → "stop_reason" == "end_turn" ends a
// turn, and entries outside the desk conversation are ignored. Cursor: the role
// is "role" and no entry ends a turn.
enum class Dialect { claude, cursor };

// The reply text written so far in the turn still running at the end of the
// entries, or nullopt when no turn runs or it has no text yet. For Claude, the
// end-of-turn system entries and an interruption end the turn too, and user
// entries that nobody typed change nothing. An assistant
// entry adds its text blocks (except empty ones and bare "[REDACTED]"); one that
// calls a tool or thinks keeps the turn running; otherwise one that ends the
// turn (with or without text) stops it and forgets the collected text, and one
// with text keeps it running. A user entry keeps the turn
// running; one with text (a new prompt) forgets the collected text. The result
// is the collected texts joined with "\n", cleaned and trimmed.
std::optional<std::string> runningTurnText(Dialect dialect, const std::vector<Json>& entries);

// runningTurnText() of the lines of a transcript tail (see tailLines).
std::optional<std::string> runningTurnTextFromLines(Dialect dialect, const std::vector<std::string_view>& lines);

}  // namespace deskwave::claude_transcript
