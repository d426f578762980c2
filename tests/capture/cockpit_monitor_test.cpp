#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "capture/claude_transcript.h"
#include "capture/cursor_db_reader.h"
#include "capture/transcript_cockpit_monitor.h"
#include "cursor_state_fixture.h"
#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
namespace ct = claude_transcript;
using Json = nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Partial = std::optional<std::string>;

// ---- Entries in both tools' formats

Json text(const std::string& t) { return {{"type", "text"}, {"text", t}}; }
const Json kThinking = {{"type", "thinking"}, {"thinking", "..."}};
Json toolUse(const std::string& name) {
  return {{"type", "tool_use"}, {"id", "toolu_01"}, {"name", name}, {"input", {{"command", "ls"}}}};
}

std::string claude(const std::string& type, Json content, const char* stop = nullptr, Json extra = Json::object()) {
  Json e = {
      {"type", type},
      {"isSidechain", false},
      {"timestamp", "2026-01-01T00:00:01.000Z"},
      {"message", {{"role", type}, {"content", std::move(content)}, {"stop_reason", stop ? Json(stop) : Json()}}}};
  e.update(extra);
  return e.dump();
}
std::string claudeSays(const std::string& t, const char* stop = nullptr) {
  return claude("assistant", Json::array({text(t)}), stop);
}
std::string claudePrompt(const std::string& t) { return claude("user", t); }
std::string claudeToolResult() {
  return claude("user", Json::array({{{"type", "tool_result"}, {"tool_use_id", "toolu_01"}, {"content", "ok"}}}));
}
std::string cursor(const std::string& role, Json content) {
  return Json{{"role", role}, {"message", {{"content", std::move(content)}}}}.dump();
}
std::string cursorSays(const std::string& t) { return cursor("assistant", Json::array({text(t)})); }
std::string cursorPrompt(const std::string& t) {
  return cursor("user", Json::array({text("<user_query>" + t + "</user_query>")}));
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

void writeFile(const fs::path& file, const std::string& bytes, WallTime modified) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// ---- The running turn's text

TEST(ActivityComputation, RunningTurnTextOfEachTool) {
  struct Case {
    const char* name;
    ct::Dialect dialect;
    std::vector<std::string> lines;
    Partial expected;
  };
  const Json sidechain = {{"isSidechain", true}};
  const std::vector<Case> cases = {
      {"Claude: end_turn ends the turn",
       ct::Dialect::claude,
       {claudePrompt("go"), claudeSays("Working"), claudeSays("Done.", "end_turn")},
       std::nullopt},
      {"Claude: end_turn without text ends the turn too",
       ct::Dialect::claude,
       {claudePrompt("go"), claudeSays("Working"), claude("assistant", Json::array(), "end_turn")},
       std::nullopt},
      {"Claude: a tool call keeps the turn running, even with text",
       ct::Dialect::claude,
       {claudeSays("old reply", "end_turn"), claudePrompt("go"), claudeSays("Reading the files."),
        claude("assistant", Json::array({text("  Let me check.  "), toolUse("Bash")}), "end_turn")},
       "Reading the files.\nLet me check."},
      {"Claude: a tool result keeps the collected text",
       ct::Dialect::claude,
       {claudePrompt("go"), claudeSays("Reading."), claude("assistant", Json::array({toolUse("Read")})),
        claudeToolResult()},
       "Reading."},
      {"Claude: thinking keeps the turn running",
       ct::Dialect::claude,
       {claudePrompt("go"), claude("assistant", Json::array({kThinking, text("Plan")}), "end_turn")},
       "Plan"},
      {"Claude: a prompt alone runs a turn with nothing to show",
       ct::Dialect::claude,
       {claudePrompt("go")},
       std::nullopt},
      {"Claude: [REDACTED] blocks never show",
       ct::Dialect::claude,
       {claudePrompt("go"), claudeSays(" [REDACTED]\n"), claudeSays("Visible [REDACTED]part")},
       "Visible part"},
      {"Claude: a typed prompt forgets an abandoned turn's text",
       ct::Dialect::claude,
       {claudePrompt("first"), claudeSays("abandoned half-answer"), claudePrompt("second"),
        claude("assistant", Json::array({toolUse("Bash")}))},
       std::nullopt},
      {"Claude: a subagent's text is not the reply",
       ct::Dialect::claude,
       {claudePrompt("review"), claudeSays("Asking a subagent."), claude("assistant", Json::array({toolUse("Task")})),
        claude("user", "review the parser", nullptr, sidechain),
        claude("assistant", Json::array({text("Subagent notes")}), nullptr, sidechain),
        claude("assistant", Json::array({text("Subagent done")}), "end_turn", sidechain)},
       "Asking a subagent."},
      {"Claude: meta user entries change nothing",
       ct::Dialect::claude,
       {claudePrompt("go"), claudeSays("Step one."),
        claude("user", Json::array({text("caveat")}), nullptr, {{"isMeta", true}})},
       "Step one."},
      {"Claude: entries are read by their type, not a role",
       ct::Dialect::claude,
       {cursorPrompt("go"), cursorSays("cursor text")},
       std::nullopt},
      {"Cursor: assistant texts since the last prompt",
       ct::Dialect::cursor,
       {cursorPrompt("one"), cursorSays("old"), cursorPrompt("two"), cursorSays("First,"), cursorSays("then.")},
       "First,\nthen."},
      {"Cursor: no entry ends a turn",
       ct::Dialect::cursor,
       {cursorPrompt("go"),
        Json{{"role", "assistant"},
             {"message", {{"content", Json::array({text("All done")})}, {"stop_reason", "end_turn"}}}}
            .dump()},
       "All done"},
      {"Cursor: a new prompt clears the text",
       ct::Dialect::cursor,
       {cursorPrompt("one"), cursorSays("answer"), cursorPrompt("two")},
       std::nullopt},
      {"Cursor: entries are read by their role",
       ct::Dialect::cursor,
       {claudePrompt("go"), claudeSays("claude text")},
       std::nullopt},
      {"Malformed lines are skipped",
       ct::Dialect::cursor,
       {cursorPrompt("go"), "{\"role\":\"assistant\",", "[]", cursorSays("kept"), "{\"role\":7}"},
       "kept"},
  };
  for (const auto& c : cases) {
    const auto bytes = joinLines(c.lines);
    EXPECT_EQ(ct::runningTurnTextFromLines(c.dialect, ct::tailLines(bytes, false)), c.expected) << c.name;
    std::vector<ct::Json> entries;
    for (const auto& l : c.lines)
      if (auto e = ct::parseEntry(l)) entries.push_back(std::move(*e));
    EXPECT_EQ(ct::runningTurnText(c.dialect, entries), c.expected) << c.name << " (parsed entries)";
  }
}

// Claude Code's entries that end a turn in older versions, stop it, or were
// not typed by anybody.
TEST(ActivityComputation, ClaudeCodeTurnEndsAndEntriesNobodyTyped) {
  const auto system = [](const char* subtype) {
    return Json{{"type", "system"}, {"subtype", subtype}, {"timestamp", "2026-01-01T00:00:02.000Z"}}.dump();
  };
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    Partial expected;
  };
  const std::vector<Case> cases = {
      {"a stop-hook summary ends the turn", {claudePrompt("go"), claudeSays("Done."), system("stop_hook_summary")},
       std::nullopt},
      {"a turn duration ends the turn", {claudePrompt("go"), claudeSays("Done."), system("turn_duration")},
       std::nullopt},
      {"other system entries do not", {claudePrompt("go"), claudeSays("Working."), system("informational")},
       "Working."},
      {"an interruption ends the turn",
       {claudePrompt("go"), claudeSays("Working."), claude("user", Json::array({text("[Request interrupted by user]")}))},
       std::nullopt},
      {"an interrupted tool call ends the turn",
       {claudePrompt("go"), claude("assistant", Json::array({text("Deleting."), toolUse("Bash")})),
        claude("user", Json::array({text("[Request interrupted by user for tool use]")}))},
       std::nullopt},
      {"a task notification keeps the turn's text",
       {claudePrompt("go"), claudeSays("Started the server."),
        claudePrompt("<task-notification><status>completed</status></task-notification>")},
       "Started the server."},
      {"command output and shell mode keep the turn's text",
       {claudePrompt("go"), claudeSays("Looking."), claudePrompt("<local-command-stdout>ok</local-command-stdout>"),
        claudePrompt("<bash-input>ls</bash-input>"), claudePrompt("<bash-stdout>a.txt</bash-stdout>")},
       "Looking."},
      {"a slash command neither ends nor resets a turn",
       {claudePrompt("go"), claudeSays("Working."), claudePrompt("<command-name>/cost</command-name>")},
       "Working."},
  };
  for (const auto& c : cases) {
    const auto bytes = joinLines(c.lines);
    EXPECT_EQ(ct::runningTurnTextFromLines(ct::Dialect::claude, ct::tailLines(bytes, false)), c.expected) << c.name;
  }
}

// ---- The newest transcript of a tree

class CockpitTest : public ::testing::Test {
 protected:
  WallTime at(double seconds) const {
    return VirtualTime::defaultStart() + std::chrono::duration_cast<WallTime::duration>(Seconds(seconds));
  }
  fs::path claudeTree() const { return home.path() / ".claude" / "projects"; }
  fs::path cursorTree() const { return home.path() / ".cursor" / "projects"; }
  void write(const fs::path& file, const std::vector<std::string>& lines, double modified) {
    writeFile(file, joinLines(lines), at(modified));
  }
  std::shared_ptr<TranscriptCockpitMonitor> monitor(CockpitAdapter adapter) {
    auto m = TranscriptCockpitMonitor::create(std::move(adapter), runtime);
    m->onPartial = [this](const Partial& p) { partials.push_back(p); };
    return m;
  }
  void poll() { time->advance(Seconds(2)); }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::vector<Partial> partials;
};

TEST_F(CockpitTest, MostRecentTranscriptAnywhereInTheTree) {
  const auto root = cursorTree();
  EXPECT_EQ(mostRecentJSONL(root), std::nullopt) << "no tree";
  fs::create_directories(root);
  EXPECT_EQ(mostRecentJSONL(root), std::nullopt) << "empty tree";

  write(root / "a/agent-transcripts/one.jsonl", {"{}"}, 10);
  const auto deep = root / "b/agent-transcripts/x/y/two.JSONL";
  write(deep, {"{}"}, 20);
  write(root / "a/.hidden/newer.jsonl", {"{}"}, 90);
  write(root / ".git/newer.jsonl", {"{}"}, 90);
  write(root / "a/.newer.jsonl", {"{}"}, 90);
  write(root / "a/notes.json", {"{}"}, 90);
  fs::create_directories(root / "c/folder.jsonl");  // a folder is not a transcript
  fs::create_symlink(root, root / "b/loop");        // must not be walked forever
  EXPECT_EQ(mostRecentJSONL(root), deep);
}

TEST_F(CockpitTest, ClaudePublishesOnEveryChangeAndOnlyThen) {
  auto m = monitor(CockpitAdapter::claude(home.path()));
  EXPECT_EQ(m->adapter().tab, "Claude");
  const auto file = claudeTree() / "-home-me-app" / "s-1.jsonl";
  std::vector<std::string> lines = {claudePrompt("go"), claudeSays("Checking.")};
  write(file, lines, -600);  // untouched for ten minutes: Claude has no idle rule
  m->start();
  time->advance(Seconds(1.9));
  EXPECT_THAT(partials, IsEmpty());
  time->advance(Seconds(0.1));
  EXPECT_THAT(partials, ElementsAre("Checking."));
  poll();
  poll();
  EXPECT_EQ(partials.size(), 1u) << "an unchanged transcript posts nothing";

  lines.push_back(claude("assistant", Json::array({toolUse("Bash")})));
  lines.push_back(claudeToolResult());
  lines.push_back(claudeSays("Fixed it."));
  write(file, lines, 6);
  poll();
  lines.push_back(claude("assistant", Json::array(), "end_turn"));
  write(file, lines, 8);
  poll();
  EXPECT_THAT(partials, ElementsAre("Checking.", "Checking.\nFixed it.", std::nullopt));

  // A newer session takes over; a subagent's file below a session never does,
  // however new.
  const Json sidechain = {{"isSidechain", true}};
  write(claudeTree() / "-home-me-app" / "s-1" / "subagents" / "agent-1.jsonl",
        {claude("user", "review", nullptr, sidechain),
         claude("assistant", Json::array({text("Subagent notes")}), nullptr, sidechain)},
        9);
  poll();
  EXPECT_EQ(partials.size(), 3u);
  write(claudeTree() / "-home-me-lib" / "s-2.jsonl", {claudePrompt("x"), claudeSays("Other session")}, 10);
  poll();
  write(claudeTree() / "-home-me-lib" / "s-2" / "subagents" / "agent-2.jsonl",
        {claude("assistant", Json::array({text("Subagent done")}), "end_turn", sidechain)}, 11);
  poll();
  EXPECT_THAT(partials, ElementsAre("Checking.", "Checking.\nFixed it.", std::nullopt, "Other session"));
}

TEST_F(CockpitTest, CursorTurnEndsAfterTwoMinutesWithoutAChange) {
  struct Case {
    double age;  // seconds since the transcript's last change, at the first poll
    Partial expected;
  };
  for (const auto& c :
       std::vector<Case>{{10, "Thinking aloud"}, {119, "Thinking aloud"}, {121, std::nullopt}, {180, std::nullopt}}) {
    SCOPED_TRACE(c.age);
    TempHome caseHome;
    partials.clear();
    write(caseHome.path() / ".cursor/projects/p/agent-transcripts/c.jsonl",
          {cursorPrompt("go"), cursorSays("Thinking aloud")}, time->elapsed().count() + 2 - c.age);
    auto m = monitor(CockpitAdapter::cursor(caseHome.path()));
    m->start();
    poll();
    EXPECT_THAT(partials, ElementsAre(c.expected));
  }

  // The idle rule applies when a transcript is seen: once it is, a quiet
  // transcript posts nothing more, and the next change publishes again.
  partials.clear();
  const auto file = cursorTree() / "p/agent-transcripts/c.jsonl";
  const double now = time->elapsed().count();
  write(file, {cursorPrompt("go"), cursorSays("Step one")}, now);
  auto m = monitor(CockpitAdapter::cursor(home.path()));
  EXPECT_EQ(m->adapter().tab, "Cursor");
  m->start();
  poll();
  time->advance(Seconds(300));
  EXPECT_THAT(partials, ElementsAre("Step one"));
  write(file, {cursorPrompt("go"), cursorSays("Step one"), cursorSays("Step two")}, now + 302);
  poll();
  EXPECT_THAT(partials, ElementsAre("Step one", "Step one\nStep two"));
}

TEST_F(CockpitTest, CursorTurnEndsWhenTheComposerIsDone) {
  // The transcript changed a moment ago: only Cursor's database can end the turn.
  const struct {
    const char* name;
    std::optional<std::string> record;  // nullopt: no database at all
    Partial expected;
  } cases[] = {
      {"no database", std::nullopt, "Let me check."},
      {"generating", CursorStateWriter::composerRecord("A", "generating", Json::array({"a1"})), "Let me check."},
      {"a bubble still written", CursorStateWriter::composerRecord("A", "completed", Json::array({"a2"})),
       "Let me check."},
      {"old record without status", CursorStateWriter::composerRecord("A", nullptr), "Let me check."},
      {"completed", CursorStateWriter::composerRecord("A", "completed"), std::nullopt},
      {"aborted", CursorStateWriter::composerRecord("A", "aborted"), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome caseHome;
    partials.clear();
    write(caseHome.path() / ".cursor/projects/p/agent-transcripts/c.jsonl",
          {cursorPrompt("go"), cursorSays("Let me check.")}, time->elapsed().count());
    CursorStateWriter db;
    if (c.record) {
      db.open(cursorStateDatabasePath(caseHome.path()));
      db.headers(Json::array({{{"composerId", "A"}, {"lastUpdatedAt", 1772355660000}}}));
      db.composer("A", c.record);
    }
    auto m = monitor(CockpitAdapter::cursor(caseHome.path()));
    m->start();
    poll();
    EXPECT_THAT(partials, ElementsAre(c.expected));
  }

  // The composer completing later, with the transcript untouched since, ends
  // the turn at the next poll; the next turn shows again.
  partials.clear();
  const auto file = cursorTree() / "p/agent-transcripts/c.jsonl";
  write(file, {cursorPrompt("go"), cursorSays("Let me check.")}, time->elapsed().count());
  CursorStateWriter db;
  db.open(cursorStateDatabasePath(home.path()));
  db.headers(Json::array({{{"composerId", "A"}, {"lastUpdatedAt", 1772355660000}}}));
  db.composer("A", CursorStateWriter::composerRecord("A", "generating", Json::array({"a1"})));
  auto m = monitor(CockpitAdapter::cursor(home.path()));
  m->start();
  poll();
  poll();
  db.composer("A", CursorStateWriter::composerRecord("A", "completed"));
  poll();
  poll();
  EXPECT_THAT(partials, ElementsAre("Let me check.", std::nullopt));

  db.composer("A", CursorStateWriter::composerRecord("A", "generating", Json::array({"b1"})));
  write(file, {cursorPrompt("go"), cursorSays("Let me check."), cursorPrompt("and now?"), cursorSays("Looking.")},
        time->elapsed().count());
  poll();
  EXPECT_THAT(partials, ElementsAre("Let me check.", std::nullopt, "Looking."));
}

TEST_F(CockpitTest, WithoutATranscriptNothingIsPostedEveryTwoSeconds) {
  auto m = monitor(CockpitAdapter::cursor(home.path()));
  m->start();
  time->advance(Seconds(6));
  EXPECT_THAT(partials, ElementsAre(std::nullopt, std::nullopt, std::nullopt));

  const auto file = cursorTree() / "p/agent-transcripts/c.jsonl";
  write(file, {cursorPrompt("go"), cursorSays("Hello")}, time->elapsed().count());
  poll();
  fs::rename(file, file.parent_path() / "c.jsonl.bak");
  poll();
  fs::rename(file.parent_path() / "c.jsonl.bak", file);  // back, unchanged
  poll();
  EXPECT_THAT(partials, ElementsAre(std::nullopt, std::nullopt, std::nullopt, "Hello", std::nullopt, "Hello"));

  m.reset();
  time->advance(Seconds(10));
  EXPECT_EQ(partials.size(), 6u) << "a destroyed monitor posts nothing";
  EXPECT_EQ(time->pendingTasks(), 0u);
}

}  // namespace
}  // namespace deskwave::testing
