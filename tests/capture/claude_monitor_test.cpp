#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "capture/claude_transcript.h"
#include "capture/transcript_claude_monitor.h"
#include "platform/memory_settings_store.h"
#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::claude_transcript {
void PrintTo(const Turn& t, std::ostream* os) {
  *os << "Turn{" << t.ts << ", \"" << t.text << "\", " << (t.isUser ? "user" : "assistant");
  if (t.question) *os << ", question \"" << t.question->text << "\" (" << t.question->options.size() << " options)";
  *os << "}";
}
}  // namespace deskwave::claude_transcript

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
namespace ct = claude_transcript;
using Json = nlohmann::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- Transcript entries as Claude writes them (with the keys the monitor ignores, too).

// "2026-01-01T00:MM:SS.mmmZ": the stamp `seconds` after the virtual clock's start.
std::string ts(double seconds) {
  const auto ms = static_cast<long>(seconds * 1000 + 0.5);
  char b[40];
  std::snprintf(b, sizeof b, "2026-01-01T%02ld:%02ld:%02ld.%03ldZ", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                ms % 1000);
  return b;
}

Json text(const std::string& t) { return {{"type", "text"}, {"text", t}}; }
Json toolUse(const std::string& name, Json input = Json::object()) {
  return {{"type", "tool_use"}, {"id", "toolu_01"}, {"name", name}, {"input", std::move(input)}};
}

std::string entry(const std::string& type, double at, Json message, Json extra = Json::object()) {
  Json e = {{"parentUuid", "p"},  {"isSidechain", false}, {"userType", "external"}, {"cwd", "/home/me/app"},
            {"sessionId", "s-1"}, {"version", "1.0.0"},   {"type", type},           {"message", std::move(message)},
            {"uuid", "u"},        {"timestamp", ts(at)}};
  e.update(extra);
  return e.dump();
}
// Each call is a message of its own, unless `id` names the message that the
// entry is one block of.
std::string assistant(double at, Json blocks, const char* stop = nullptr, Json extra = Json::object(),
                      const std::string& id = {}) {
  Json message = {{"id", id.empty() ? "msg_" + ts(at) : id},
                  {"type", "message"},
                  {"role", "assistant"},
                  {"model", "claude"},
                  {"content", std::move(blocks)},
                  {"stop_reason", stop ? Json(stop) : Json()}};
  return entry("assistant", at, std::move(message), std::move(extra));
}
std::string reply(double at, const std::string& t) { return assistant(at, Json::array({text(t)}), "end_turn"); }
std::string prompt(double at, const std::string& t, Json extra = Json::object()) {
  return entry("user", at, {{"role", "user"}, {"content", t}}, std::move(extra));
}
std::string toolResult(double at) {
  return entry("user", at,
               {{"role", "user"},
                {"content", Json::array({{{"type", "tool_result"}, {"tool_use_id", "toolu_01"}, {"content", "ok"}}})}},
               {{"toolUseResult", {{"stdout", "build ok"}}}});
}
Json options(std::initializer_list<std::pair<const char*, const char*>> list) {
  Json out = Json::array();
  for (const auto& [label, description] : list) {
    Json o = {{"label", label}};
    if (description) o["description"] = description;
    out.push_back(o);
  }
  return out;
}

void setModified(const fs::path& file, WallTime t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

void writeBytes(const fs::path& file, const std::string& bytes, WallTime modified) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  setModified(file, modified);
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

std::vector<ct::Json> parsed(const std::vector<std::string>& lines) {
  std::vector<ct::Json> out;
  for (const auto& l : lines) out.push_back(ct::Json::parse(l));
  return out;
}

// ---- Tail decoding

TEST(ClaudeTranscriptTail, SplitsIntoWholeWellFormedLines) {
  struct Case {
    const char* name;
    std::string bytes;
    bool cut;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"whole file", "a\nb\r\n\n\nc", false, {"a", "b", "c"}},
      {"cut: the first piece is dropped", "tial}\nb\nc\n", true, {"b", "c"}},
      {"cut inside a two-byte character",
       "\xA9"
       "tail\nb\n",
       true,
       {"b"}},
      {"cut inside a four-byte character", "\x9F\x98\x80!\"}\nb\n", true, {"b"}},
      {"cut: one line longer than the tail", "no line break at all", true, {}},
      {"cut right at a line break", "\nb", true, {"b"}},
      {"raw line separators stay inside a line",
       "{\"t\":\"x\xE2\x80\xA8y\xC2\x85z\"}\nb",
       false,
       {"{\"t\":\"x\xE2\x80\xA8y\xC2\x85z\"}", "b"}},
  };
  for (const auto& c : cases) {
    const auto lines = ct::tailLines(c.bytes, c.cut);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), c.lines) << c.name;
  }
  // Bytes that are not UTF-8 (stray, or a character cut while being written)
  // cost only their own line.
  auto cutCharacter = reply(2, "@@");
  cutCharacter.replace(cutCharacter.find("@@"), 2, "\xE2\x82");
  const auto mixed = reply(1, "a") + "\n\xff\xfe\n" + cutCharacter + "\n" + reply(3, "b\xC3\xA9");
  EXPECT_THAT(ct::turnsFromLines(ct::tailLines(mixed, false)),
              ElementsAre(ct::Turn{ts(1), "a", false, std::nullopt}, ct::Turn{ts(3), "b\u00E9", false, std::nullopt}));

  EXPECT_EQ(ct::tailOffset(999'999), 0u);
  EXPECT_EQ(ct::tailOffset(1'000'000), 0u);
  EXPECT_EQ(ct::tailOffset(1'000'001), 1u);
  EXPECT_EQ(ct::tailOffset(5'000'000), 4'000'000u);
}

TEST(ClaudeTranscriptTail, OnlyCompleteObjectsAreEntries) {
  const auto line = reply(1, "done");
  EXPECT_TRUE(ct::parseEntry(line));
  for (std::size_t cut : {std::size_t{1}, line.size() / 2, line.size() - 1})
    EXPECT_FALSE(ct::parseEntry(std::string_view(line).substr(0, cut))) << "half-written at " << cut;
  EXPECT_FALSE(ct::parseEntry("[1,2]"));
  EXPECT_FALSE(ct::parseEntry("\"text\""));
  EXPECT_FALSE(ct::parseEntry("{\"a\":\"\xff\"}"));
  EXPECT_FALSE(ct::parseEntry("{} {}"));
}

class TranscriptTailFile : public ::testing::Test {
 protected:
  TempHome home;
};

TEST_F(TranscriptTailFile, ReadsAtMostTheLastBytesAndNeverBlocks) {
  const auto file = home.path() / "t.jsonl";
  writeBytes(file, "0123456789", VirtualTime::defaultStart());
  for (const auto& [max, bytes, cut] : std::vector<std::tuple<std::uint64_t, std::string, bool>>{
           {100, "0123456789", false}, {10, "0123456789", false}, {4, "6789", true}}) {
    const auto tail = readTranscriptTail(file, max);
    EXPECT_EQ(tail.bytes, bytes) << max;
    EXPECT_EQ(tail.startsMidFile, cut) << max;
  }
  EXPECT_TRUE(readTranscriptTail(home.path() / "missing.jsonl").bytes.empty());
  EXPECT_TRUE(readTranscriptTail(home.path()).bytes.empty()) << "a folder";
  const auto pipe = home.path() / "pipe.jsonl";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_TRUE(readTranscriptTail(pipe).bytes.empty()) << "a named pipe is not opened (it would block)";
}

// ---- Grouping entries into turns

TEST(ClaudeTranscriptTurns, AReplyStreamedOverSeveralEntriesIsOneTurnAtEndTurn) {
  const auto turns = ct::turns(parsed({
      prompt(1, "  Fix the build\n"),
      assistant(2, Json::array({{{"type", "thinking"}, {"thinking", "hmm"}}})),
      assistant(3, Json::array({text("  Looking at the build.  ")})),
      assistant(4, Json::array({toolUse("Bash", {{"command", "make"}})}), "tool_use"),
      toolResult(5),  // neither ends the turn nor is a prompt
      assistant(6, Json::array({text("[REDACTED]Fixed:\n\n  the linker flags.")})),
      assistant(7, Json::array(), "end_turn"),
  }));
  EXPECT_THAT(turns,
              ElementsAre(ct::Turn{ts(1), "Fix the build", true, std::nullopt},
                          ct::Turn{ts(7), "Looking at the build.\nFixed:\nthe linker flags.", false, std::nullopt}));
}

TEST(ClaudeTranscriptTurns, AQuestionCarriesItsOptionsAndAlignedDescriptions) {
  const Json input = {
      {"questions",
       Json::array({
           {{"question", "Without choices?"}, {"options", Json::array()}},
           {{"question", "Which database?"},
            {"header", "DB"},
            {"options", options({{"SQLite", "embedded"}, {"Postgres", nullptr}, {"MySQL", "widely hosted"}})}},
       })}};
  const auto turns = ct::turns(parsed({
      assistant(1, Json::array({text("I need one answer.")})),
      assistant(2, Json::array({toolUse("AskUserQuestion", input)}), "tool_use"),
      assistant(3, Json::array({toolUse("AskUserQuestion", input)}), "tool_use"),  // nothing before it
  }));
  const ct::Question q{"Which database?", {"SQLite", "Postgres", "MySQL"}, {"embedded", "", "widely hosted"}};
  EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(2), "I need one answer.", false, q}, ct::Turn{ts(3), "", false, q}));

  // Other tools, malformed inputs and questions without options ask nothing.
  for (const Json& bad : {Json(toolUse("Bash", input)), Json(toolUse("AskUserQuestion", {{"questions", "x"}})),
                          Json(toolUse("AskUserQuestion", {{"questions", Json::array({{{"question", "q"}}})}})),
                          Json(toolUse("AskUserQuestion", Json::array()))}) {
    EXPECT_FALSE(ct::questionOf(ct::Json::parse(assistant(1, Json::array({bad}))))) << bad.dump();
  }
}

TEST(ClaudeTranscriptTurns, PromptsAndEndsOfTurnThatAreNotReported) {
  const auto turns = ct::turns(parsed({
      reply(1, "[10:00:01] \u25B6 start: target='claude'"),                  // this program's own log
      assistant(2, Json::array({text("  ")}), "end_turn"),                   // nothing to say
      prompt(3, " \n "),                                                     // blank prompt
      prompt(4, "Transcript reader armed for x"),                            // debug-log text typed back
      entry("user", 5, {{"content", Json::array({text("a"), text("b")})}}),  // text blocks
      R"({"type":"user","message":{"content":"no time stamp"}})",
      R"({"type":"summary","summary":"Earlier work"})",
      R"({"message":{"content":"no type"}})",
      reply(6, "ok"),
  }));
  EXPECT_THAT(turns,
              ElementsAre(ct::Turn{ts(5), "a\nb", true, std::nullopt}, ct::Turn{ts(6), "ok", false, std::nullopt}));
}

TEST(ClaudeTranscriptTurns, AUserPromptStartsTheNextReplyAfresh) {
  const auto turns = ct::turns(parsed({
      assistant(1, Json::array({text("interrupted answer")})),
      prompt(2, "try again"),
      reply(3, "second answer"),
  }));
  EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(2), "try again", true, std::nullopt},
                                 ct::Turn{ts(3), "second answer", false, std::nullopt}));
}

// Subagent conversations and the entries Claude adds itself are not the desk
// conversation: they neither form turns nor interrupt the running one.
TEST(ClaudeTranscriptTurns, SidechainMetaAndCompactSummaryEntriesAreLeftOut) {
  const Json sidechain = {{"isSidechain", true}};
  const auto turns = ct::turns(parsed({
      prompt(1, "Caveat: the messages below were generated by local commands.", {{"isMeta", true}}),
      prompt(2, "Review the parser"),
      assistant(3, Json::array({text("Asking a subagent.")})),
      assistant(4, Json::array({toolUse("Task", {{"prompt", "review"}})}), "tool_use"),
      prompt(5, "review", sidechain),
      assistant(6, Json::array({text("Subagent finding.")}), "end_turn", sidechain),
      assistant(7,
                Json::array({toolUse(
                    "AskUserQuestion",
                    {{"questions", Json::array({{{"question", "Sub?"}, {"options", options({{"a", "b"}})}}})}})}),
                "tool_use", sidechain),
      prompt(8, "This session is being continued from a previous conversation...", {{"isCompactSummary", true}}),
      prompt(9, "<local-command-stdout></local-command-stdout>", {{"isMeta", true}}),
      toolResult(10),
      reply(11, "The parser looks fine."),
  }));
  EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(2), "Review the parser", true, std::nullopt},
                                 ct::Turn{ts(11), "Asking a subagent.\nThe parser looks fine.", false, std::nullopt}));
  EXPECT_TRUE(ct::isDeskConversation(ct::Json::parse(assistant(1, Json::array(), nullptr, {{"isMeta", true}}))))
      << "only user entries are marked as meta";
}

// Claude Code before about 2.1.85 leaves "stop_reason" empty on every
// assistant entry and ends a turn with a system entry.
std::string system(double at, const char* subtype) {
  return Json{{"type", "system"}, {"subtype", subtype}, {"isSidechain", false}, {"timestamp", ts(at)},
              {"level", "info"},  {"isMeta", false}}
      .dump();
}
std::string oldAssistant(double at, Json blocks) { return assistant(at, std::move(blocks), nullptr); }
std::string userBlocks(double at, const std::string& t) {
  return entry("user", at, {{"role", "user"}, {"content", Json::array({text(t)})}});
}

TEST(ClaudeTranscriptTurns, OlderVersionsEndATurnWithASystemEntry) {
  struct Case {
    const char* name;
    std::vector<std::string> ending;
  };
  for (const auto& c : std::vector<Case>{
           {"stop hook summary only", {system(6, "stop_hook_summary")}},
           {"turn duration only", {system(6, "turn_duration")}},
           {"both", {system(6, "stop_hook_summary"), system(6.1, "turn_duration")}},
       }) {
    std::vector<std::string> lines = {
        prompt(1, "Fix the test"),
        oldAssistant(2, Json::array({text("Running it first.")})),
        oldAssistant(3, Json::array({toolUse("Bash", {{"command", "make test"}})})),
        toolResult(4),
        oldAssistant(5, Json::array({text("Fixed.")})),
    };
    lines.insert(lines.end(), c.ending.begin(), c.ending.end());
    lines.push_back(prompt(7, "Thanks"));
    EXPECT_THAT(ct::turns(parsed(lines)),
                ElementsAre(ct::Turn{ts(1), "Fix the test", true, std::nullopt},
                            ct::Turn{ts(5), "Running it first.\nFixed.", false, std::nullopt},
                            ct::Turn{ts(7), "Thanks", true, std::nullopt}))
        << c.name;
  }
}

// Claude Code writes one entry per block of a message, each with the
// message's final stop reason: the reply is the whole message.
TEST(ClaudeTranscriptTurns, AMessageWrittenAsOneEntryPerBlockIsOneReply) {
  const Json thinking = {{"type", "thinking"}, {"thinking", "Two parts."}, {"signature", "sig"}};
  const auto turns = ct::turns(parsed({
      prompt(1, "Explain the build"),
      assistant(2, Json::array({thinking}), "end_turn", Json::object(), "msg_A"),
      assistant(2, Json::array({text("First part.")}), "end_turn", Json::object(), "msg_A"),
      assistant(2, Json::array({text("Second part.")}), "end_turn", Json::object(), "msg_A"),
      system(3, "stop_hook_summary"),
      system(3, "turn_duration"),
      prompt(4, "And the tests?"),
      assistant(5, Json::array({text("Reading them.")}), "tool_use", Json::object(), "msg_B"),
      assistant(5, Json::array({toolUse("Read", {{"file_path", "t.cpp"}})}), "tool_use", Json::object(), "msg_B"),
      toolResult(6),
      assistant(7, Json::array({thinking}), "end_turn", Json::object(), "msg_C"),
      assistant(7, Json::array({text("They pass.")}), "end_turn", Json::object(), "msg_C"),
      entry("attachment", 8, Json::object()),  // any other entry shows the message is complete
      reply(9, "Separate message."),
  }));
  EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(1), "Explain the build", true, std::nullopt},
                                 ct::Turn{ts(2), "First part.\nSecond part.", false, std::nullopt},
                                 ct::Turn{ts(4), "And the tests?", true, std::nullopt},
                                 ct::Turn{ts(7), "Reading them.\nThey pass.", false, std::nullopt},
                                 ct::Turn{ts(9), "Separate message.", false, std::nullopt}));

  ct::TurnGrouper grouper;
  for (const auto& e : parsed({prompt(1, "Hi"), assistant(2, Json::array({text("Hello.")}), "end_turn", Json::object(), "m")}))
    grouper.add(e);
  EXPECT_TRUE(grouper.endPending());
  EXPECT_FALSE(grouper.idle());
  EXPECT_THAT(grouper.take(), ElementsAre(ct::Turn{ts(1), "Hi", true, std::nullopt}));
  grouper.finishPending();
  EXPECT_THAT(grouper.take(), ElementsAre(ct::Turn{ts(2), "Hello.", false, std::nullopt}));
  EXPECT_TRUE(grouper.idle());
}

// Built-in commands are system entries: mirrored as typed, their output not.
TEST(ClaudeTranscriptTurns, ABuiltInCommandIsMirroredAsTyped) {
  const auto local = [](double at, const std::string& content) {
    return Json{{"type", "system"}, {"subtype", "local_command"}, {"content", content},
                {"timestamp", ts(at)},  {"level", "info"},            {"isMeta", false}}
        .dump();
  };
  const auto turns = ct::turns(parsed({
      local(1, "<command-name>/context</command-name>\n<command-message>context</command-message>\n"
               "<command-args></command-args>"),
      local(2, "<local-command-stdout>\u001b[1mContext Usage\u001b[22m</local-command-stdout>"),
      prompt(3, "| Category | Tokens |", {{"isMeta", true}}),
      local(4, "<command-name>/model</command-name><command-args>opus</command-args>"),
  }));
  EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(1), "/context", true, std::nullopt},
                                 ct::Turn{ts(4), "/model opus", true, std::nullopt}));
}

// Entries of type "user" that nobody typed: mirrored as typed (a slash command,
// a shell-mode command) or not at all, and only an interruption ends the turn.
TEST(ClaudeTranscriptTurns, UserEntriesThatNobodyTyped) {
  const std::string notification =
      "<task-notification>\n<task-id>b1</task-id>\n<status>completed</status>\n<summary>Background command "
      "\"npm test\" completed</summary>\n</task-notification>";
  const std::string compact =
      "<command-name>/compact</command-name>\n            <command-message>compact</command-message>\n"
      "            <command-args></command-args>";
  const std::string review =
      "<command-message>review</command-message>\n<command-name>/review</command-name>\n<command-args>src/main.cpp "
      "--strict</command-args>";
  const auto turns = ct::turns(parsed({
      prompt(1, "Start the server"),
      assistant(2, Json::array({text("Starting it in the background.")})),
      prompt(3, notification),  // in the middle of a turn
      prompt(4, "<local-command-stdout>\u001b[2mCompacted\u001b[22m</local-command-stdout>"),
      assistant(5, Json::array({text("It is up.")}), "end_turn"),
      prompt(6, notification),  // between turns; Claude answers it by itself
      reply(7, "The tests passed."),
      prompt(8, compact),
      prompt(9, review),
      prompt(10, "<bash-input>git status</bash-input>"),
      prompt(11, "<bash-stdout>On branch main</bash-stdout><bash-stderr></bash-stderr>"),
      prompt(12, "<local-command-stderr>Unknown command</local-command-stderr>"),
      reply(13, "Reviewed."),
  }));
  EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(1), "Start the server", true, std::nullopt},
                                 ct::Turn{ts(5), "Starting it in the background.\nIt is up.", false, std::nullopt},
                                 ct::Turn{ts(7), "The tests passed.", false, std::nullopt},
                                 ct::Turn{ts(8), "/compact", true, std::nullopt},
                                 ct::Turn{ts(9), "/review src/main.cpp --strict", true, std::nullopt},
                                 ct::Turn{ts(10), "!git status", true, std::nullopt},
                                 ct::Turn{ts(13), "Reviewed.", false, std::nullopt}));
}

TEST(ClaudeTranscriptTurns, AnInterruptionEndsTheTurnWithoutAReply) {
  for (const bool oldVersion : {false, true}) {
    SCOPED_TRACE(oldVersion ? "stop reasons left empty" : "stop reasons written");
    const auto turns = ct::turns(parsed({
        prompt(1, "Refactor the parser"),
        oldAssistant(2, Json::array({text("Starting with the lexer.")})),
        userBlocks(3, "[Request interrupted by user]"),
        prompt(3.1, "<task-notification><status>completed</status></task-notification>"),
        oldVersion ? oldAssistant(3.2, Json::array({text("The build finished.")}))
                   : reply(3.2, "The build finished."),
        oldVersion ? system(3.3, "stop_hook_summary") : system(3.3, "turn_duration"),
        prompt(4, "Only the lexer"),
        oldAssistant(5, Json::array({text("Deleting the old tests."), toolUse("Bash", {{"command", "rm -r t"}})})),
        entry("user", 6,
              {{"role", "user"},
               {"content", Json::array({{{"type", "tool_result"},
                                         {"tool_use_id", "toolu_01"},
                                         {"is_error", true},
                                         {"content", "The user doesn't want to proceed with this tool use."}}})}}),
        userBlocks(6.1, "[Request interrupted by user for tool use]"),
        prompt(7, "Keep the tests"),
        oldVersion ? oldAssistant(8, Json::array({text("Kept them.")})) : reply(8, "Kept them."),
        oldVersion ? system(9, "turn_duration") : system(9, "stop_hook_summary"),
    }));
    EXPECT_THAT(turns, ElementsAre(ct::Turn{ts(1), "Refactor the parser", true, std::nullopt},
                                   ct::Turn{ts(3.2), "The build finished.", false, std::nullopt},
                                   ct::Turn{ts(4), "Only the lexer", true, std::nullopt},
                                   ct::Turn{ts(7), "Keep the tests", true, std::nullopt},
                                   ct::Turn{ts(8), "Kept them.", false, std::nullopt}));
  }
}

// ---- The monitor on a home folder

class ClaudeMonitorTest : public ::testing::Test {
 protected:
  fs::path session(const std::string& project, const std::string& name = "s-1.jsonl") const {
    return home.path() / ".claude" / "projects" / project / name;
  }
  WallTime at(double seconds) const {
    return VirtualTime::defaultStart() + std::chrono::duration_cast<WallTime::duration>(Seconds(seconds));
  }
  // Writes the transcript with a modification time `seconds` after the start.
  void write(const fs::path& file, const std::vector<std::string>& lines, double modified) {
    writeBytes(file, joinLines(lines), at(modified));
  }

  std::shared_ptr<TranscriptClaudeMonitor> monitor() {
    auto m = TranscriptClaudeMonitor::create(runtime, home.path(), settings, log);
    m->onReply = [this](const std::string& t) { events.push_back("reply: " + t); };
    m->onUserPrompt = [this](const std::string& t) { events.push_back("prompt: " + t); };
    m->onQuestion = [this](const std::string& t, const std::vector<std::string>& o, const std::vector<std::string>& d) {
      std::string e = "question: " + t + " |";
      for (std::size_t i = 0; i < o.size(); ++i) e += " " + o[i] + "=" + d[i];
      events.push_back(e);
    };
    return m;
  }
  void poll() { time->advance(Seconds(2)); }
  std::string storedTS() const { return settings->getString(TranscriptClaudeMonitor::kLastTSKey).value_or("<none>"); }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::vector<std::string> logged;
  std::shared_ptr<WatcherDebugLog> log =
      WatcherDebugLog::create(home.paths().debugLogFile(), runtime.main, runtime.clock, [this](std::string_view line) {
        const auto end = line.find("] ", line.find("] ") + 2);  // after "[ResponseWatcher] [HH:mm:ss] "
        logged.emplace_back(line.substr(end + 2));
      });
  std::vector<std::string> events;
};

TEST_F(ClaudeMonitorTest, FirstStartTreatsTheHistoryAsReportedAndMirrorsWhatFollows) {
  const auto file = session("-home-me-app");
  std::vector<std::string> lines = {prompt(1, "old prompt"), reply(2, "old reply"), prompt(3, "newest old prompt"),
                                    assistant(4, Json::array({text("Working on it")}))};
  write(file, lines, -10);
  auto m = monitor();
  m->start();
  EXPECT_EQ(storedTS(), ts(3)) << "the newest turn of the history";
  EXPECT_THAT(logged, ElementsAre("ClaudeMonitor: watching Claude conversation (continuous)"));
  poll();
  EXPECT_THAT(events, IsEmpty());

  lines.push_back(assistant(5, Json::array({text("and done.")}), "end_turn"));
  lines.push_back(prompt(6, "Thanks \u2014 now ship it \U0001F680"));
  write(file, lines, 6);
  poll();
  EXPECT_THAT(events, ElementsAre("reply: Working on it\nand done.", "prompt: Thanks \u2014 now ship it \U0001F680"));
  EXPECT_THAT(logged, Contains("ClaudeMonitor: new reply (23 chars) \u2192 mirroring"));
  EXPECT_THAT(logged, Contains("ClaudeMonitor: new user prompt (22 chars) \u2192 mirroring"));
  EXPECT_EQ(storedTS(), ts(6));

  m->start();  // a second start changes nothing
  write(file, lines, 8);
  poll();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), "ClaudeMonitor: watching Claude conversation (continuous)"), 1);
}

// Without any history the start time is the mark; it must sort against
// Claude's millisecond stamps, so a reply half a second later counts.
TEST_F(ClaudeMonitorTest, FirstStartWithoutHistoryMarksTheCurrentTime) {
  auto m = monitor();
  m->start();
  EXPECT_EQ(storedTS(), "2026-01-01T00:00:00.000Z");
  poll();  // no projects folder yet: nothing, silently
  write(session("p"), {reply(-30, "before the start"), reply(0.5, "half a second after")}, 3);
  poll();
  poll();  // unchanged: the last reply's message is complete
  EXPECT_THAT(events, ElementsAre("reply: half a second after"));
}

TEST_F(ClaudeMonitorTest, AQuestionIsReportedAfterTheTextBeforeIt) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
  const Json input = {
      {"questions",
       Json::array(
           {{{"question", "Which database?"},
             {"options", options({{"SQLite", "embedded"}, {"Postgres", nullptr}, {"MySQL", "widely hosted"}})}}})}};
  write(session("p"),
        {prompt(1, "Set up storage"), assistant(2, Json::array({text("One choice first.")})),
         assistant(3, Json::array({toolUse("AskUserQuestion", input)}), "tool_use")},
        5);
  auto m = monitor();
  m->start();
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Set up storage", "reply: One choice first.",
                                  "question: Which database? | SQLite=embedded Postgres= MySQL=widely hosted"));
  EXPECT_THAT(logged, Contains("ClaudeMonitor: questionnaire (3 options) \u2192 phone popup"));
  EXPECT_EQ(storedTS(), ts(3));
}

TEST_F(ClaudeMonitorTest, SessionsAreTheFilesOneLevelDownAndEachIsFollowedFromWhereItStopped) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(10));
  const auto older = session("-home-me-app", "a.jsonl");
  write(older, {prompt(5, "old"), reply(10, "already reported")}, 10);
  auto m = monitor();
  m->start();
  poll();
  EXPECT_THAT(events, IsEmpty()) << "a turn stamped exactly lastTS is not reported again";

  const auto newer = session("-home-me-lib", "b.JSONL");
  write(newer, {prompt(20, "in the new session"), reply(21, "new session reply"), system(21.5, "turn_duration")}, 20);
  // Neither a session's subagents, hidden folders nor other extensions are sessions.
  write(session("-home-me-lib", "b/subagents/agent-1.jsonl"),
        {prompt(30, "deeper", {{"isSidechain", true}}), reply(31, "subagent reply")}, 40);
  write(session(".hidden", "c.jsonl"), {prompt(30, "hidden")}, 40);
  write(session("-home-me-lib", "notes.json"), {prompt(30, "json")}, 40);
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: in the new session", "reply: new session reply"));
  EXPECT_EQ(m->activeSessionFile(), newer);

  // The old session written again: every turn after what was read counts,
  // whatever its stamp.
  write(older, {prompt(5, "old"), reply(10, "already reported"), prompt(15, "late but older"), prompt(25, "later")},
        50);
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: in the new session", "reply: new session reply", "prompt: late but older",
                                  "prompt: later"));
  EXPECT_EQ(storedTS(), ts(25));
}

// Two terminals at once: the session that is not the newest is mirrored too.
TEST_F(ClaudeMonitorTest, TwoSessionsWrittenAlternatelyAreBothMirrored) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
  const auto left = session("-home-me-app", "left.jsonl");
  const auto right = session("-home-me-lib", "right.jsonl");
  std::vector<std::string> l = {prompt(1, "left one")};
  std::vector<std::string> r = {prompt(2, "right one")};
  write(left, l, 1);
  write(right, r, 2);
  auto m = monitor();
  m->start();
  poll();
  l.push_back(reply(5, "left reply"));  // written after the right session's newer turn
  l.push_back(system(5.5, "turn_duration"));
  write(left, l, 5);
  r.push_back(assistant(3, Json::array({text("right, part one")})));
  write(right, r, 3);
  poll();
  r.push_back(reply(7, "right reply"));
  r.push_back(system(7.5, "turn_duration"));
  write(right, r, 7);
  l.push_back(prompt(6, "left two"));
  write(left, l, 6);
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: left one", "prompt: right one", "reply: left reply", "prompt: left two",
                                  "reply: right, part one\nright reply"));
}

// An entry may carry an earlier stamp than the line before it: reading goes by
// position, not by stamp.
TEST_F(ClaudeMonitorTest, AnEarlierStampLaterInTheFileIsNeitherDroppedNorReplayed) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
  const auto file = session("p");
  std::vector<std::string> lines = {prompt(10, "Deploy"), reply(12, "Deployed."), system(12.5, "turn_duration")};
  write(file, lines, 12);
  auto m = monitor();
  m->start();
  poll();
  lines.push_back(prompt(20, "And the docs?"));
  lines.push_back(reply(19.5, "The docs are deployed too."));
  lines.push_back(system(19.6, "turn_duration"));
  write(file, lines, 21);
  poll();
  write(file, lines, 22);  // touched again: nothing new
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Deploy", "reply: Deployed.", "prompt: And the docs?",
                                  "reply: The docs are deployed too."));
}

// A reply's last entry may be all there is at a poll: the reply waits for
// the next entry, or for a poll that finds the session unchanged, and is
// reported once, whole.
TEST_F(ClaudeMonitorTest, AReplyWhoseMessageMayGoOnIsReportedWholeOnce) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
  const auto file = session("p");
  std::vector<std::string> lines = {prompt(1, "Plan it"),
                                    assistant(2, Json::array({text("Step one.")}), "end_turn", Json::object(), "msg_A")};
  write(file, lines, 2);
  auto m = monitor();
  m->start();
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Plan it"));
  lines.push_back(assistant(2, Json::array({text("Step two.")}), "end_turn", Json::object(), "msg_A"));
  write(file, lines, 3);
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Plan it")) << "its message may still go on";
  poll();  // unchanged since: the reply is complete
  EXPECT_THAT(events, ElementsAre("prompt: Plan it", "reply: Step one.\nStep two."));
  lines.push_back(system(4, "turn_duration"));
  lines.push_back(prompt(5, "Go"));
  write(file, lines, 5);
  poll();
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Plan it", "reply: Step one.\nStep two.", "prompt: Go"));

  // Two messages that each end a turn, one after the other (Claude answering a
  // background task by itself): each reported once.
  lines.push_back(reply(6, "Going."));
  lines.push_back(reply(7, "Gone."));
  write(file, lines, 7);
  poll();
  poll();
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Plan it", "reply: Step one.\nStep two.", "prompt: Go", "reply: Going.",
                                  "reply: Gone."));
}

// Progress is kept per session across a restart: turns written while the
// program was not running are mirrored once, in every session, new ones too.
TEST_F(ClaudeMonitorTest, EachSessionGoesOnAfterARestart) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
  const auto a = session("-home-me-app", "a.jsonl");
  const auto b = session("-home-me-lib", "b.jsonl");
  std::vector<std::string> la = {prompt(1, "a1"), reply(2, "a1 reply"), system(2.5, "turn_duration")};
  std::vector<std::string> lb = {prompt(3, "b1"), assistant(4, Json::array({text("b1 half")}))};
  write(a, la, 2);
  write(b, lb, 4);
  auto first = monitor();
  first->start();
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: a1", "reply: a1 reply", "prompt: b1"));
  const auto stored = Json::parse(settings->getString(TranscriptClaudeMonitor::kSessionsKey).value_or("{}"));
  EXPECT_EQ(stored["offsets"][a.string()], fs::file_size(a));
  EXPECT_LT(stored["offsets"][b.string()], fs::file_size(b)) << "the half-written reply is read again";
  first.reset();
  time->runUntilIdle();

  events.clear();
  time->advance(Seconds(30));  // not running meanwhile
  lb.push_back(reply(40, "b1 done"));
  lb.push_back(system(40.5, "turn_duration"));
  write(b, lb, 40);
  write(session("-home-me-new", "c.jsonl"), {prompt(41, "c1"), reply(42, "c1 reply"), system(42.5, "turn_duration")},
        42);
  auto second = monitor();
  second->start();
  poll();
  EXPECT_THAT(events, ElementsAre("reply: b1 half\nb1 done", "prompt: c1", "reply: c1 reply"));
  poll();
  write(a, la, 50);  // touched without new lines
  poll();
  EXPECT_EQ(events.size(), 3u);
}

TEST_F(ClaudeMonitorTest, LastReportedTurnSurvivesANewMonitor) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(60));
  const auto file = session("p");
  write(file, {prompt(30, "from the previous run"), reply(90, "written while not running"), system(91, "turn_duration")},
        100);
  auto first = monitor();
  first->start();
  poll();
  EXPECT_THAT(events, ElementsAre("reply: written while not running"));
  EXPECT_EQ(storedTS(), ts(90));
  first.reset();
  time->runUntilIdle();
  EXPECT_EQ(time->pendingTasks(), 0u) << "a destroyed monitor stops polling";

  events.clear();
  auto second = monitor();
  second->start();
  poll();
  EXPECT_THAT(events, IsEmpty());
  write(file,
        {prompt(30, "from the previous run"), reply(90, "written while not running"), system(91, "turn_duration"),
         prompt(120, "next")},
        120);
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: next"));
}

// The tool writes a line in pieces: a line that does not parse yet is read
// again at the next change and reported once.
TEST_F(ClaudeMonitorTest, AHalfWrittenLastLineIsReadAgainAndReportedOnce) {
  settings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
  const auto file = session("p");
  const std::string head = joinLines({prompt(1, "Explain"), assistant(2, Json::array({text("It works")}))});
  const auto last = assistant(3, Json::array({text("like this.")}), "end_turn");
  writeBytes(file, head + last.substr(0, last.size() / 2), at(3));
  auto m = monitor();
  m->start();
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Explain"));

  writeBytes(file, head + last, at(4));  // complete, without its line break yet
  poll();
  writeBytes(file, head + last + "\n" + prompt(5, "Next").substr(0, 20), at(5));
  poll();
  writeBytes(file, head + last + "\n" + prompt(5, "Next") + "\n", at(6));
  poll();
  EXPECT_THAT(events, ElementsAre("prompt: Explain", "reply: It works\nlike this.", "prompt: Next"));
}

// A transcript over 1,000,000 bytes is read from its tail, wherever the cut
// falls: in ASCII text or inside a multi-byte character.
TEST_F(ClaudeMonitorTest, ALargeTranscriptIsReadFromItsTailWhereverTheCutFalls) {
  struct Case {
    const char* name;
    std::string character;
  };
  for (const auto& c : std::vector<Case>{{"ASCII", "x"}, {"two-byte", "\u00E9"}, {"four-byte", "\U0001F600"}}) {
    SCOPED_TRACE(c.name);
    TempHome caseHome;
    auto caseSettings = std::make_shared<MemorySettingsStore>();
    caseSettings->setString(TranscriptClaudeMonitor::kLastTSKey, ts(0));
    // Head: a prompt newer than lastTS that lies outside the tail. Then a long
    // reply line that the cut splits, then the lines the tail must show.
    const std::string head = joinLines({prompt(10, "outside the tail"), toolResult(11)});
    const std::string runPrefix =
        R"({"type":"assistant","timestamp":")" + ts(12) + R"(","message":{"content":[{"type":"text","text":")";
    const std::size_t k = c.character.size();
    const std::size_t count = 1'100'000 / k;
    std::string run;
    for (std::size_t i = 0; i < count; ++i) run += c.character;
    const std::string runLine = runPrefix + run + R"("}],"stop_reason":"end_turn"}})" + "\n";
    std::string after = joinLines({prompt(20, "inside the tail"), reply(21, "tail reply"), system(22, "turn_duration")});
    // Pad the last line (JSON allows trailing blanks) until the cut lands on the
    // second byte of a character.
    // Offset of the first byte read (file size - 1,000,000) within the run.
    const auto cutInRun = [&] { return runLine.size() + after.size() - 1'000'000 - runPrefix.size(); };
    while (k > 1 && cutInRun() % k != 1) after.insert(after.size() - 1, " ");
    const auto bytes = head + runLine + after;
    ASSERT_GT(bytes.size(), 1'000'000u);
    ASSERT_LT(cutInRun(), run.size());
    if (k > 1) {
      ASSERT_EQ(static_cast<unsigned char>(bytes[bytes.size() - 1'000'000]) & 0xC0, 0x80);
    }
    writeBytes(caseHome.path() / ".claude/projects/p/big.jsonl", bytes, at(30));

    std::vector<std::string> seen;
    auto m = TranscriptClaudeMonitor::create(runtime, caseHome.path(), caseSettings, log);
    m->onReply = [&](const std::string& t) { seen.push_back("reply: " + t); };
    m->onUserPrompt = [&](const std::string& t) { seen.push_back("prompt: " + t); };
    m->start();
    poll();
    EXPECT_THAT(seen, ElementsAre("prompt: inside the tail", "reply: tail reply"));
  }
}

}  // namespace
}  // namespace deskwave::testing
