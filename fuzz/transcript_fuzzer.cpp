// Feeds arbitrary transcript text to the reply readers' line parsing, the
// Claude turn grouping, the activity computation and the shared text rules.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/claude_transcript.h"
#include "capture/cursor_transcript_reader.h"
#include "capture/text_rules.h"

using namespace deskwave;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The first line stands for the prompt, the rest for the transcript.
  const auto lines = nonEmptyLines(text);
  const std::string prompt = lines.empty() ? std::string() : std::string(lines.front());
  CursorTranscriptReader::latestAssistantAfterUserPrompt(lines, prompt);
  for (auto line : lines) {
    CursorTranscriptReader::userText(line);
    CursorTranscriptReader::assistantText(line);
  }

  // Claude transcripts: a tail that may start in the middle of a line (and of a
  // character), grouped into turns, and the activity of the running turn.
  for (bool midFile : {false, true}) {
    const auto tail = claude_transcript::tailLines(text, midFile);
    const auto turns = claude_transcript::turnsFromLines(tail);

    // Grouping resumed at any point where the grouper was idle (before an
    // entry, once that entry closed a pending turn, or after it) gives the same
    // turns as grouping all entries at once.
    const auto entries = claude_transcript::parseEntries(tail);
    claude_transcript::TurnGrouper whole;
    std::vector<std::size_t> idleAt;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      whole.closeBefore(entries[i]);
      if (whole.idle()) idleAt.push_back(i);
      whole.add(entries[i]);
      if (whole.idle()) idleAt.push_back(i + 1);
    }
    whole.finishPending();
    const auto all = whole.take();
    if (all != turns) __builtin_trap();
    if (!idleAt.empty()) {
      const auto cut = idleAt[size % idleAt.size()];
      claude_transcript::TurnGrouper before, after;
      for (std::size_t i = 0; i < entries.size(); ++i) (i < cut ? before : after).add(entries[i]);
      before.finishPending();
      after.finishPending();
      auto resumed = before.take();
      for (auto& turn : after.take()) resumed.push_back(std::move(turn));
      if (resumed != all) __builtin_trap();
    }
    claude_transcript::runningTurnTextFromLines(claude_transcript::Dialect::claude, tail);
    claude_transcript::runningTurnTextFromLines(claude_transcript::Dialect::cursor, tail);
  }

  const auto key = text_rules::comparisonForm(prompt);
  if (text_rules::comparisonForm(key) != key) __builtin_trap();  // folding is idempotent
  text_rules::userTextMatchesPrompt(text, key);
  if (text_rules::isValidReply(text, prompt) && text_rules::comparisonForm(text).empty()) __builtin_trap();
  text_rules::looksLikeDeskwaveDebugLog(text);
  const auto cleaned = text_rules::cleanAssistantText(text);
  if (cleaned.find("\n\n") != std::string::npos) __builtin_trap();  // no blank lines survive
  return 0;
}
