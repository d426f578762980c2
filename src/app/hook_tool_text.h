#pragma once

// What the phone shows of a Claude Code tool call: a short verb while it runs,
// and one line saying what a tool that asks for permission wants to do.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace deskwave {

// "Running command" for Bash, "Editing file" for the editing tools, … and
// "Using <tool>" for a tool without a verb of its own.
std::string hookActivityVerb(std::string_view tool);

// Longest detail line, in user-perceived characters (an ellipsis included).
inline constexpr std::size_t kHookDetailMaxCharacters = 200;

// One line from the tool call's input: the command, the file, the address, the
// pattern, … (for a tool not known here the first such field, else the input
// as compact JSON). Line breaks and the blanks around them become one blank,
// other control characters are dropped, and the line is cut with "…" past
// kHookDetailMaxCharacters. Empty when the input says nothing.
std::string hookDetail(std::string_view tool, const nlohmann::json& toolInput);

// `text` as one line: see hookDetail.
std::string flattenedDetailLine(std::string_view text);

}  // namespace deskwave
