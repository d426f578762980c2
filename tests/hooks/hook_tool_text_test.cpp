#include "app/hook_tool_text.h"

#include <gmock/gmock.h>

#include "platform/text.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;

TEST(HookToolText, EachToolHasItsVerbAndAnyOtherIsUsed) {
  const std::vector<std::pair<std::string, std::string>> table = {
      // One tool of each kind; the whole list would only repeat the code's table.
      {"Bash", "Running command"},
      {"MultiEdit", "Editing file"},
      {"Read", "Reading file"},
      {"Glob", "Searching"},
      {"WebFetch", "Browsing the web"},
      {"mcp__github__create_issue", "Using mcp__github__create_issue"},
      {"bash", "Using bash"},  // tool names are exact
      {"", "Using "},
  };
  for (const auto& [tool, verb] : table) EXPECT_EQ(hookActivityVerb(tool), verb) << tool;
}

TEST(HookToolText, DetailIsTheTelltaleFieldOnOneLine) {
  struct Case {
    std::string tool;
    std::string input;
    std::string detail;
  };
  const std::vector<Case> table = {
      {"Bash", R"({"command":"npm test","description":"Run the tests"})", "npm test"},
      {"Bash", R"({"command":"cd /src &&\n   make \r\n\tcheck\n"})", "cd /src && make check"},
      {"Bash", R"({"command":"printf '\u001b[31mred'\u0007"})", "printf '[31mred'"},
      {"Bash", R"({"command":"a\tb"})", "a b"},
      {"Bash", R"({"description":"no command"})", ""},
      {"Edit", R"({"file_path":"/src/a.cpp","old_string":"x","new_string":"y"})", "/src/a.cpp"},
      {"Write", R"({"file_path":"/src/b.h","content":"#pragma once"})", "/src/b.h"},
      {"MultiEdit", R"({"file_path":"/src/c.cpp","edits":[]})", "/src/c.cpp"},
      {"Read", R"({"file_path":"/etc/hosts","limit":10})", "/etc/hosts"},
      {"NotebookEdit", R"json({"notebook_path":"/n/a.ipynb","new_source":"print()"})json", "/n/a.ipynb"},
      {"WebFetch", R"({"url":"https://example.com/x","prompt":"summarize"})", "https://example.com/x"},
      {"WebSearch", R"({"query":"asio strands"})", "asio strands"},
      {"Grep", R"({"pattern":"TODO","path":"src"})", "TODO in src"},
      {"Glob", R"({"pattern":"**/*.h"})", "**/*.h"},
      {"LS", R"({"path":"/tmp"})", "/tmp"},
      {"Task", R"({"description":"Find callers","prompt":"Look everywhere"})", "Find callers"},
      {"Task", R"({"prompt":"Look\neverywhere"})", "Look everywhere"},
      {"mcp__web__open", R"({"url":"https://a.example","n":1})", "https://a.example"},
      {"mcp__gh__issue", R"({"owner":"me","repo":"x"})", R"({"owner":"me","repo":"x"})"},
      {"ExitPlanMode", R"({"plan":"1. Build\n2. Test"})", "1. Build 2. Test"},
      {"mcp__gh__issue", R"({})", ""},
      {"Bash", R"(null)", ""},
  };
  for (const auto& c : table) EXPECT_EQ(hookDetail(c.tool, Json::parse(c.input)), c.detail) << c.tool << " " << c.input;
}

TEST(HookToolText, LongDetailIsCutWholeCharactersWithAnEllipsis) {
  const auto cut = hookDetail("Bash", Json{{"command", std::string(500, 'x')}});
  EXPECT_EQ(graphemeCount(cut), kHookDetailMaxCharacters);
  EXPECT_EQ(cut, std::string(kHookDetailMaxCharacters - 1, 'x') + "\u2026");

  // A thumbs-up with a skin tone is one character of two code points: never split.
  std::string thumbs;
  for (int i = 0; i < 300; ++i) thumbs += "\U0001F44D\U0001F3FD";
  const auto emoji = hookDetail("Bash", Json{{"command", thumbs}});
  EXPECT_TRUE(isValidUtf8(emoji));
  EXPECT_EQ(graphemeCount(emoji), kHookDetailMaxCharacters);
  EXPECT_TRUE(emoji.starts_with("\U0001F44D\U0001F3FD\U0001F44D\U0001F3FD"));

  const auto exact = std::string(kHookDetailMaxCharacters, 'y');
  EXPECT_EQ(hookDetail("Read", Json{{"file_path", exact}}), exact) << "a line at the limit stays whole";

  // The " in <path>" part counts as well.
  const auto grep = hookDetail("Grep", Json{{"pattern", std::string(150, 'p')}, {"path", std::string(150, 'q')}});
  EXPECT_EQ(graphemeCount(grep), kHookDetailMaxCharacters);
  EXPECT_TRUE(grep.ends_with("q\u2026"));
}

}  // namespace
}  // namespace deskwave::testing
