#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace deskwave::text_rules {

// The form in which texts are compared: case folded, diacritics removed, every
// run of white space one blank, trimmed. The prompt key of a prompt is its
// comparison form.
std::string comparisonForm(std::string_view text);

// False for an empty reply and for one that only repeats the prompt.
bool isValidReply(std::string_view reply, std::string_view sentPrompt);

// True when the text starts like this program's own debug log.
bool looksLikeDeskwaveDebugLog(std::string_view text);

// Drops "[REDACTED]" markers, trims each line of spaces and tabs, drops empty
// lines and trims the whole.
std::string cleanAssistantText(std::string_view text);

// True when a user message carries the prompt (by its comparison form, or
// between "<user_query>" and "</user_query>"); an empty key matches everything.
bool userTextMatchesPrompt(std::string_view userText, std::string_view promptKey);

// Splits at line feeds, carriage returns (CR LF counts once), and the Unicode
// next-line, line and paragraph separators.
std::vector<std::string_view> splitLines(std::string_view text);

}  // namespace deskwave::text_rules
