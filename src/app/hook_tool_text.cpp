#include "app/hook_tool_text.h"

#include <utility>

#include "platform/text.h"

namespace deskwave {
namespace {

using Json = nlohmann::json;

struct Verb {
  std::string_view tool;
  std::string_view verb;
};

constexpr Verb kVerbs[] = {
    {"Bash", "Running command"},
    {"Edit", "Editing file"},
    {"Write", "Editing file"},
    {"MultiEdit", "Editing file"},
    {"NotebookEdit", "Editing file"},
    {"Read", "Reading file"},
    {"Grep", "Searching"},
    {"Glob", "Searching"},
    {"LS", "Searching"},
    {"WebFetch", "Browsing the web"},
    {"WebSearch", "Browsing the web"},
    {"Task", "Running a subagent"},
    {"TodoWrite", "Planning"},
};

// The input fields that say what a known tool does, most telling first.
struct DetailFields {
  std::string_view tool;
  std::string_view field;
  std::string_view where;  // a second field shown as " in <value>", or empty
};

constexpr DetailFields kDetailFields[] = {
    {"Bash", "command", ""},
    {"Edit", "file_path", ""},
    {"Write", "file_path", ""},
    {"MultiEdit", "file_path", ""},
    {"Read", "file_path", ""},
    {"NotebookEdit", "notebook_path", ""},
    {"WebFetch", "url", ""},
    {"WebSearch", "query", ""},
    {"Grep", "pattern", "path"},
    {"Glob", "pattern", "path"},
    {"LS", "path", ""},
    {"Task", "description", ""},
    {"Task", "prompt", ""},
};

// For any other tool (MCP tools among them): the first of these that is text.
constexpr std::string_view kGenericFields[] = {
    "command", "file_path", "notebook_path", "path", "url", "query", "pattern", "description", "prompt", "plan",
    "content"};

std::string textField(const Json& input, std::string_view field) {
  if (!input.is_object()) return {};
  const auto it = input.find(field);
  if (it == input.end() || !it->is_string()) return {};
  return flattenedDetailLine(it->get<std::string>());
}

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }
bool isBlank(char c) { return c == ' ' || c == '\t' || isLineBreak(c); }

std::string cutToLimit(std::string line) {
  if (graphemeCount(line) <= kHookDetailMaxCharacters) return line;
  return trimWhitespace(graphemePrefix(line, kHookDetailMaxCharacters - 1)) + "\u2026";
}

}  // namespace

std::string hookActivityVerb(std::string_view tool) {
  for (const auto& v : kVerbs)
    if (v.tool == tool) return std::string(v.verb);
  return "Using " + std::string(tool);
}

std::string flattenedDetailLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (isLineBreak(c)) {
      while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
      while (i + 1 < text.size() && isBlank(text[i + 1])) ++i;
      if (!line.empty()) line += ' ';
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    if (c == '\t') line += ' ';
    else if (u >= 0x20 && u != 0x7F) line += c;
  }
  return cutToLimit(trimWhitespace(line));
}

std::string hookDetail(std::string_view tool, const Json& toolInput) {
  bool known = false;
  for (const auto& d : kDetailFields) {
    if (d.tool != tool) continue;
    known = true;
    auto detail = textField(toolInput, d.field);
    if (detail.empty()) continue;
    if (!d.where.empty())
      if (auto where = textField(toolInput, d.where); !where.empty()) detail += " in " + where;
    return cutToLimit(std::move(detail));
  }
  if (known) return {};
  for (auto field : kGenericFields)
    if (auto detail = textField(toolInput, field); !detail.empty()) return detail;
  if (!toolInput.is_object() || toolInput.empty()) return {};
  return flattenedDetailLine(toolInput.dump(-1, ' ', false, Json::error_handler_t::replace));
}

}  // namespace deskwave
