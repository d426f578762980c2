#include "capture/cursor_db_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "capture/cursor_composer_state.h"
#include "cursor_state_fixture.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// A state database shaped like Cursor's. The folder name carries a space,
// "#", "?", "%", "&", "=" and a non-ASCII letter, so every test also proves
// that such a path opens.
class CursorDbFixture : public ::testing::Test, protected CursorStateWriter {
 protected:
  void SetUp() override { open(home.path() / "Cursor data" / "#1?%25&x=\xC3\xA9" / "state.vscdb"); }
  void TearDown() override {
    sqlite3_close(db);
    db = nullptr;
  }

  // One conversation "A" holding the prompt and the given reply.
  void promptAndReply(const std::string& reply, const std::string& prompt = "go") {
    headers(Json::array({{{"composerId", "A"}}}));
    bubble("A", "1", 1, prompt, "1");
    bubble("A", "2", 2, reply, "2");
  }
  CursorDBReader reader(const std::string& prompt) { return CursorDBReader(prompt, file); }

  TempHome home;
};

TEST_F(CursorDbFixture, ReadsTheReplyInTheNewestConversationAfterTheLaterPrompt) {
  headers({{"allComposers", {{{"composerId", "old"}, {"lastUpdatedAt", 5}}, {{"composerId", "new"}, {"lastUpdatedAt", 9}}}}});
  bubble("old", "1", 1, "Fix the build", "2026-01-01T09:00:00Z");
  bubble("old", "2", 2, "answer in the older conversation", "2026-01-01T09:00:01Z");
  // Bubble ids are not in time order (Cursor uses random ids): the rows come
  // in key order and only the "createdAt" sort puts them right.
  bubble("new", "f3", 1, "Fix the build", "2026-01-01T10:00:00Z");
  bubble("new", "a1", 2, "first answer", "2026-01-01T10:00:01Z");
  bubble("new", "c8", 1, "fix the BUILD", "2026-01-01T10:01:00Z");
  bubble("new", "e0", 2, "  Part one [REDACTED]\n\n", "2026-01-01T10:01:01Z");
  bubble("new", "b7", 2, "[REDACTED]", "2026-01-01T10:01:02Z");  // empty once cleaned: left out
  bubble("new", "d2", 3, "tool output", "2026-01-01T10:01:03Z");  // neither user nor assistant
  rawBubble("new", "g5", R"({"type":2.9,"text":"Part two","createdAt":"2026-01-01T10:01:04Z"})");
  bubble("new", "b1", 2, "   \n ", "2026-01-01T10:01:05Z");
  rawBubble("new", "a9", R"({"type":2,"text":42,"createdAt":"2026-01-01T10:01:06Z"})");
  bubble("new", "a5", 1, "next question", "2026-01-01T10:02:00Z");
  bubble("new", "a4", 2, "not this", "2026-01-01T10:02:01Z");
  bubble("newer", "x", 2, "other conversation's key range", "2026-01-01T10:01:02Z");
  // Values that are not JSON objects are skipped.
  rawBubble("new", "zz1", "not json");
  rawBubble("new", "zz2", "[1, 2]");
  rawBubble("new", "zz3", "\"a string\"");
  rawBubble("new", "zz4", std::nullopt);
  rawBubble("new", "zz5", R"({"type":2,"text":"cut off)");

  auto r = reader("Fix the build");
  EXPECT_EQ(r.pollStableReply(), "Part one\n\nPart two");
  EXPECT_EQ(r.lastStatus(), "assistant 18 chars (stable 1/1)");
  EXPECT_TRUE(r.dbAvailable());
}

TEST_F(CursorDbFixture, TheNewestConversationIsChosenInEveryHeaderShape) {
  bubble("B", "1", 1, "go", "1");
  bubble("B", "2", 2, "from B", "2");
  bubble("A", "1", 1, "go", "1");
  bubble("A", "2", 2, "from A", "2");
  const struct {
    const char* headers;
    const char* reply;
  } cases[] = {
      {R"({"allComposers":[{"composerId":"A","lastUpdatedAt":1},{"composerId":"B","lastUpdatedAt":2}]})", "from B"},
      {R"({"x":{"composerId":"A","lastUpdatedAt":1},"y":{"composerId":"B","lastUpdatedAt":2.5},"n":3})", "from B"},
      {R"([{"composerId":"A"},{"composerId":"B","lastUpdatedAt":1700000000000}])", "from B"},
      // Equal stamps (a missing or non-numeric one counts as 0): the one listed
      // first wins, also in an object whose keys sort the other way.
      {R"({"z":{"composerId":"B"},"a":{"composerId":"A","lastUpdatedAt":"9"}})", "from B"},
      {R"({"allComposers":[{"composerId":"A","lastUpdatedAt":3},{"composerId":"B","lastUpdatedAt":3}]})", "from A"},
      // "allComposers" holding something else than objects is not the list.
      {R"({"allComposers":[1],"k":{"composerId":"B"}})", "from B"},
      // Newer entries: extra members, Windows and remote workspace paths,
      // times as ISO texts or numbers, "createdAt" where "lastUpdatedAt" is absent.
      {R"([{"composerId":"A","createdAt":"2026-03-01T10:00:00.000Z","grouping":{"kind":"workspace","id":"w1"},
           "workspaceIdentifier":{"uri":{"fsPath":"C:\\Users\\me\\app","external":"vscode-remote://wsl+Ubuntu/home/me/app"}}},
          {"composerId":"B","createdAt":1772355600000,"grouping":"recent"}])",
       "from A"},
      // A zone offset counts: 11:30+02:00 is before 10:00Z.
      {R"({"allComposers":[{"composerId":"A","lastUpdatedAt":"2026-03-01T11:30:00+02:00"},
                           {"composerId":"B","lastUpdatedAt":"2026-03-01T10:00:00Z"}]})",
       "from B"},
      {R"([{"composerId":"A","lastUpdatedAt":"2026-03-02T00:00:00Z","createdAt":1},
          {"composerId":"B","createdAt":"2026-03-01T12:00:00.5Z"}])",
       "from A"},
      // Times of odd types or impossible dates count as none: equal, so the first listed.
      {R"([{"composerId":"A","lastUpdatedAt":{"ms":5},"createdAt":true},
          {"composerId":"B","lastUpdatedAt":null,"createdAt":"2026-13-01T00:00:00Z"}])",
       "from A"},
  };
  for (const auto& c : cases) {
    put("ItemTable", "composer.composerHeaders", std::string(c.headers));
    auto r = reader("go");
    EXPECT_EQ(r.pollStableReply(), c.reply) << c.headers;
    EXPECT_EQ(r.lastStatus(), "assistant 6 chars (stable 1/1)") << c.headers;
  }
}

TEST(CursorRecordTimeTest, MillisecondsOrISOTexts) {
  const struct {
    const char* record;
    double expected;
  } cases[] = {
      {R"({"lastUpdatedAt":1772355600000})", 1772355600000},
      {R"({"lastUpdatedAt":1.5,"createdAt":9})", 1.5},
      {R"({"createdAt":"2026-03-01T09:00:00.000Z"})", 1772355600000},
      {R"({"createdAt":"2026-03-01T09:00:00.25Z"})", 1772355600250},
      {R"({"createdAt":"2026-03-01T10:30:00+01:30"})", 1772355600000},
      {R"({"createdAt":"2026-03-01T05:00-0400"})", 1772355600000},
      {R"({"createdAt":"2026-03-01 09:00:00"})", 1772355600000},
      {R"({"createdAt":"1969-12-31T23:59:59Z"})", -1000},
      {R"({"lastUpdatedAt":"later","createdAt":"2026-03-01T09:00:00Z"})", 1772355600000},
      {R"({"createdAt":"2026-02-30T09:00:00Z"})", 0},
      {R"({"createdAt":"2026-03-01T24:00:00Z"})", 0},
      {R"({"createdAt":"2026-03-01T09:00:00Zjunk"})", 0},
      {R"({"createdAt":"2026-03-01"})", 0},
      {R"({"createdAt":"9"})", 0},
      {R"({"createdAt":[1],"lastUpdatedAt":{}})", 0},
      {R"([1772355600000])", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(cursorRecordTime(Json::parse(c.record)), c.expected) << c.record;
}

TEST(CursorRecordTest, OnlyTheNamedMembersAreKept) {
  const std::vector<std::string> keys = {"status", "ids", "tool"};
  const struct {
    const char* text;
    const char* kept;  // nullptr: discarded
  } cases[] = {
      {R"({"status":"completed","other":{"status":"x"},"ids":["a",{"b":1},[2],3],"tool":{"name":"grep","args":[1]}})",
       R"({"ids":["a",3],"status":"completed","tool":{}})"},
      {R"({"ids":{"a":[1]},"status":null,"ids2":[1]})", R"({"ids":{},"status":null})"},
      {R"({"x":{"status":1,"ids":[1]}})", "{}"},
      {R"({"status":"a"} trailing)", nullptr},
      {R"({"status":"cut)", nullptr},
      {R"({"status":1e400})", nullptr},
      {R"(["status"])", nullptr},
      {R"("status")", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const auto parsed = parseTopLevelMembers(c.text, keys);
    if (c.kept)
      EXPECT_EQ(parsed, Json::parse(c.kept)) << c.text;
    else
      EXPECT_TRUE(parsed.is_discarded()) << c.text;
  }
}

TEST_F(CursorDbFixture, AnAgentTurnIsTakenOnlyOnceTheComposerIsDone) {
  headers(Json::array({{{"composerId", "A"}, {"lastUpdatedAt", 1772355660000}}}));
  bubble("A", "u0", 1, "Why does the parser fail on empty input?", "2026-03-01T09:00:00.000Z");
  bubble("A", "a0", 2, "Because nothing checks the length.", "2026-03-01T09:00:05.000Z");
  const std::string prompt = "Fix the parser";
  bubble("A", "u1", 1, prompt, "2026-03-01T10:00:00.000Z");
  const std::string narration1 = "I'll open the parser to check how it handles empty input.";
  const std::string narration2 = "The empty-buffer check is missing; adding it now.";
  const std::string answer =
      "Fixed: `parse()` now returns `Error::Empty` for an empty buffer instead of reading past its end, and a test "
      "covers the case. Run `ctest -R parser` to check; all parser tests pass here, including the three that "
      "failed before.";
  auto r = reader(prompt);

  // Cursor writes the turn over several polls while the composer is generating.
  const struct {
    const char* id;
    std::string text;
    Json extra;
  } written[] = {
      {"a1", narration1, Json::object()}, {"a2", "", toolFormer("read_file")}, {"a3", narration2, Json::object()},
      {"a4", "", capability(15)},         {"a5", answer, Json::object()},
  };
  composer("A", composerRecord("A", "generating", Json::array({"a1"})));
  int second = 1;
  for (const auto& w : written) {
    bubble("A", w.id, 2, w.text, "2026-03-01T10:00:0" + std::to_string(second++) + ".000Z", w.extra);
    EXPECT_EQ(r.pollStableReply(), std::nullopt) << w.id;
    EXPECT_EQ(r.lastStatus(), "assistant generating (" + std::to_string(3 + second - 1) + " bubbles)") << w.id;
  }
  // The status says completed, but the last bubble is still being written.
  composer("A", composerRecord("A", "completed", Json::array({"a5"})));
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "assistant generating (8 bubbles)");

  // Done: every assistant text after the prompt, as a person reading the
  // conversation sees it; a long reply still needs two equal polls, counted
  // from the end of the turn.
  composer("A", composerRecord("A", "completed"));
  const auto reply = narration1 + "\n\n" + narration2 + "\n\n" + answer;
  ASSERT_GE(reply.size(), CursorDBReader::kLongReply);
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "assistant " + std::to_string(reply.size()) + " chars (stable 1/2)");
  EXPECT_EQ(r.pollStableReply(), reply);
}

TEST_F(CursorDbFixture, OldRecordsWaitWhileAToolFollowsTheText) {
  const struct {
    const char* name;
    bool stored;
    std::optional<std::string> record;
    Json tool;
  } cases[] = {
      {"no record", false, std::nullopt, toolFormer("read_file")},
      {"record without status", true, R"({"composerId":"c","lastUpdatedAt":1772355660000,"conversation":[]})",
       capability(15)},
      {"record that is no JSON", true, "{\"status\":", toolFormer("grep")},
      {"NULL record", true, std::nullopt, capability(1)},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string convo = "c" + std::to_string(n++);
    headers(Json::array({{{"composerId", convo}}}));
    if (c.stored) composer(convo, c.record);
    bubble(convo, "u1", 1, "go", "2026-03-01T10:00:00Z");
    bubble(convo, "a1", 2, "Let me look.", "2026-03-01T10:00:01Z");
    bubble(convo, "a2", 2, "", "2026-03-01T10:00:02Z", c.tool);
    // Empty bubbles that run no tool (thinking) are left out, also behind a tool.
    bubble(convo, "a3", 2, "", "2026-03-01T10:00:03Z", {{"thinking", {{"text", "hmm"}}}});
    auto r = reader("go");
    EXPECT_EQ(r.pollStableReply(), std::nullopt);
    EXPECT_EQ(r.lastStatus(), "assistant running tools (3 bubbles)");

    // A bubble with text is text, whatever tool data it carries.
    bubble(convo, "a4", 2, "Done.", "2026-03-01T10:00:04Z", c.tool);
    bubble(convo, "a5", 2, "", "2026-03-01T10:00:05Z", {{"toolFormerData", nullptr}, {"capabilityType", nullptr}});
    EXPECT_EQ(r.pollStableReply(), "Let me look.\n\nDone.");
    EXPECT_EQ(r.lastStatus(), "assistant 19 chars (stable 1/1)");
  }
}

TEST_F(CursorDbFixture, WithoutAConversationListTheNewestComposerRecordIsRead) {
  composer("A", R"({"composerId":"A","lastUpdatedAt":1772355600000,"createdAt":1772350000000,"status":"completed"})");
  composer("B", R"({"createdAt":"2026-03-01T10:00:00.000Z","status":"completed","conversation":[{"type":1}]})");
  composer("C", "not json");
  composer("D", std::nullopt);
  composer("E", R"(["lastUpdatedAt", 9e15])");
  for (const std::string convo : {"A", "B"}) {
    bubble(convo, "1", 1, "go", "1");
    bubble(convo, "2", 2, "from " + convo, "2");
  }
  const struct {
    const char* name;
    std::optional<std::string> value;
    bool row;
  } cases[] = {
      {"no row", std::nullopt, false},
      {"NULL", std::nullopt, true},
      {"empty text", "", true},
      {"empty list", R"({"allComposers":[]})", true},
      {"not JSON", "{\"allComposers\":[", true},
      {"no id in the newest", R"([{"lastUpdatedAt":9}])", true},
  };
  for (const auto& c : cases) {
    exec("DELETE FROM ItemTable");
    if (c.row) put("ItemTable", "composer.composerHeaders", c.value);
    auto r = reader("go");
    EXPECT_EQ(r.pollStableReply(), "from B") << c.name;
    EXPECT_EQ(r.lastStatus(), "assistant 6 chars (stable 1/1)") << c.name;
  }
}

TEST_F(CursorDbFixture, MissingTablesGiveTheMatchingStatus) {
  const std::string item = "CREATE TABLE ItemTable(key TEXT PRIMARY KEY, value BLOB);";
  const std::string kv = "CREATE TABLE cursorDiskKV(key TEXT PRIMARY KEY, value BLOB);";
  const struct {
    const char* name;
    std::string tables;
    bool headersRow;
    bool kvRows;
    std::optional<std::string> reply;
    const char* status;
  } cases[] = {
      {"only ItemTable, naming a conversation", item, true, false, std::nullopt, "no bubbles in active convo"},
      {"only ItemTable, empty", item, false, false, std::nullopt, "no active conversation"},
      {"only cursorDiskKV", kv, false, true, "answer", "assistant 6 chars (stable 1/1)"},
      {"no table", "", false, false, std::nullopt, "no active conversation"},
  };
  int n = 0;
  for (const auto& c : cases) {
    CursorStateWriter w;
    w.open(home.path() / ("case" + std::to_string(n++)) / "state.vscdb", c.tables);
    if (c.headersRow) w.headers(Json::array({{{"composerId", "A"}}}));
    if (c.kvRows) {
      w.composer("A", CursorStateWriter::composerRecord("A", "completed"));
      w.bubble("A", "1", 1, "go", "1");
      w.bubble("A", "2", 2, "answer", "2");
    }
    CursorDBReader r("go", w.file);
    EXPECT_EQ(r.pollStableReply(), c.reply) << c.name;
    EXPECT_EQ(r.lastStatus(), c.status) << c.name;
    EXPECT_TRUE(r.dbAvailable()) << c.name;
    EXPECT_EQ(cursorNewestComposerTurnIsOver(w.file), c.kvRows) << c.name;
  }
}

TEST_F(CursorDbFixture, ComposerStateOfEachRecordShape) {
  headers(Json::array({{{"composerId", "old"}, {"lastUpdatedAt", 1}}, {{"composerId", "A"}, {"lastUpdatedAt", 2}}}));
  composer("old", CursorStateWriter::composerRecord("old", "completed"));  // not the newest: never read
  const struct {
    std::optional<std::string> record;
    std::optional<std::string> status;
    bool generating;
    bool turnOver;
  } cases[] = {
      {CursorStateWriter::composerRecord("A", "generating"), "generating", true, false},
      {CursorStateWriter::composerRecord("A", "completed", Json::array({"b9"})), "completed", true, false},
      {CursorStateWriter::composerRecord("A", "completed"), "completed", false, true},
      {CursorStateWriter::composerRecord("A", "completed", Json()), "completed", false, true},
      {CursorStateWriter::composerRecord("A", "aborted"), "aborted", false, true},
      {CursorStateWriter::composerRecord("A", nullptr), std::nullopt, false, false},
      {CursorStateWriter::composerRecord("A", nullptr, Json::array({"b9"})), std::nullopt, true, false},
      {R"({"status":7,"generatingBubbleIds":"b9"})", std::nullopt, false, false},
      {R"({"status":"completed","generatingBubbleIds":{"b9":true}})", "completed", false, true},
      {"[\"completed\"]", std::nullopt, false, false},
      {"not json", std::nullopt, false, false},
      {std::nullopt, std::nullopt, false, false},
  };
  for (const auto& c : cases) {
    const auto shown = c.record.value_or("(NULL)");
    composer("A", c.record);
    auto opened = CursorStateDb::open(file);
    ASSERT_TRUE(std::holds_alternative<CursorStateDb>(opened));
    const auto state = cursorComposerState(std::get<CursorStateDb>(opened), "A");
    EXPECT_EQ(state.status, c.status) << shown;
    EXPECT_EQ(state.generating(), c.generating) << shown;
    EXPECT_EQ(state.turnOver(), c.turnOver) << shown;
    EXPECT_EQ(cursorNewestComposerTurnIsOver(file), c.turnOver) << shown;
  }
  exec("DELETE FROM cursorDiskKV WHERE key = 'composerData:A'");
  EXPECT_FALSE(cursorNewestComposerTurnIsOver(file)) << "no record";
  EXPECT_FALSE(cursorNewestComposerTurnIsOver(home.path() / "missing.vscdb"));
}

TEST_F(CursorDbFixture, HeadersThatNameNoConversation) {
  bubble("A", "1", 1, "go", "1");
  bubble("A", "2", 2, "answer", "2");
  const std::optional<std::string> cases[] = {
      std::nullopt,  // no row at all
      "not json",
      R"({"allComposers":[]})",
      R"([{"composerId":7,"lastUpdatedAt":1}])",
      R"([{"composerId":"A"}, 5])",
      R"("A")",
      "[]",
  };
  for (const auto& value : cases) {
    exec("DELETE FROM ItemTable");
    if (value) put("ItemTable", "composer.composerHeaders", *value);
    auto r = reader("go");
    EXPECT_EQ(r.pollStableReply(), std::nullopt) << value.value_or("(no row)");
    EXPECT_EQ(r.lastStatus(), "no active conversation") << value.value_or("(no row)");
    EXPECT_TRUE(r.dbAvailable());
  }

  headers(Json::array({{{"composerId", "empty"}}}));
  bubble("empty", "1", 2, " \n\t ", "1");
  rawBubble("empty", "2", "not json");
  auto r = reader("go");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "no bubbles in active convo");
}

TEST_F(CursorDbFixture, APromptSentToAnotherConversationIsNotFound) {
  headers(Json::array({{{"composerId", "A"}, {"lastUpdatedAt", 2}}, {{"composerId", "B"}, {"lastUpdatedAt", 1}}}));
  bubble("A", "1", 1, "something else", "1");
  bubble("A", "2", 2, "answer", "2");
  bubble("B", "1", 1, "Fix the build", "1");
  bubble("B", "2", 2, "the answer in B", "2");
  auto r = reader("Fix the build");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "waiting for assistant reply (2 bubbles)");
  EXPECT_TRUE(r.dbAvailable());
}

TEST_F(CursorDbFixture, EchoesAndDebugLogsAreRejectedAndResetTheCount) {
  const std::string longReply(300, 'r');
  promptAndReply(longReply, "go now");
  auto r = reader("go now");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "assistant 300 chars (stable 1/2)");

  for (const std::string rejected : {"GO  now", "Poll #3 [db]: baseline 12 bubbles"}) {
    bubble("A", "2", 2, rejected, "2");
    EXPECT_EQ(r.pollStableReply(), std::nullopt) << rejected;
    EXPECT_EQ(r.lastStatus(), "reply rejected (echo/debug)") << rejected;
    bubble("A", "2", 2, longReply, "2");
    EXPECT_EQ(r.pollStableReply(), std::nullopt) << "the count starts again after " << rejected;
    EXPECT_EQ(r.lastStatus(), "assistant 300 chars (stable 1/2)");
  }
  EXPECT_EQ(r.pollStableReply(), longReply);
  EXPECT_EQ(r.lastStatus(), "assistant 300 chars (stable 2/2)");
}

TEST_F(CursorDbFixture, LongRepliesNeedTwoEqualPollsCountedInCharacters) {
  // "e" with a combining acute accent: one character, three bytes.
  auto accented = [](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += "e\xCC\x81";
    return s;
  };
  promptAndReply(accented(239));
  auto r = reader("go");
  EXPECT_EQ(r.pollStableReply(), accented(239));
  EXPECT_EQ(r.lastStatus(), "assistant 239 chars (stable 1/1)");

  bubble("A", "2", 2, accented(240), "2");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "assistant 240 chars (stable 1/2)");
  bubble("A", "2", 2, accented(241), "2");
  EXPECT_EQ(r.pollStableReply(), std::nullopt) << "a change restarts the count";
  EXPECT_EQ(r.lastStatus(), "assistant 241 chars (stable 1/2)");
  EXPECT_EQ(r.pollStableReply(), accented(241));
  EXPECT_EQ(r.lastStatus(), "assistant 241 chars (stable 2/2)");

  // The reply disappearing (a new conversation took over) forgets it.
  headers(Json::array({{{"composerId", "other"}}}));
  bubble("other", "1", 1, "unrelated", "1");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "waiting for assistant reply (1 bubbles)");
  headers(Json::array({{{"composerId", "A"}}}));
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "assistant 241 chars (stable 1/2)");
}

TEST_F(CursorDbFixture, EqualStampsKeepRowOrder) {
  headers(Json::array({{{"composerId", "A"}}}));
  rawBubble("A", "0", R"({"type":2,"text":"no stamp sorts first"})");
  bubble("A", "zz", 1, "go", "t0");
  // Enough equal stamps that an unstable sort would reorder them.
  std::string expected;
  for (int i = 10; i < 50; ++i) {
    bubble("A", "p" + std::to_string(i), 2, std::to_string(i), "t1");
    expected += (expected.empty() ? "" : "\n\n") + std::to_string(i);
  }
  EXPECT_EQ(reader("go").pollStableReply(), expected);
}

TEST_F(CursorDbFixture, MissingOrUnreadableDatabases) {
  EXPECT_EQ(reader("go").lastStatus(), "waiting (db)");
  EXPECT_TRUE(reader("go").dbAvailable());

  const auto junk = home.path() / "junk.vscdb";
  std::ofstream(junk) << "this is not a database at all, just text that is long enough to have a header";
  const auto folder = home.path() / "folder.vscdb";
  std::filesystem::create_directories(folder);
  const struct {
    std::filesystem::path path;
    const char* status;
    bool available;
  } cases[] = {
      {home.path() / "nope.vscdb", "Cursor DB not found", false},
      {home.path() / "no folder" / "state.vscdb", "Cursor DB not found", false},
      // SQLite opens lazily: a file that is no database opens, and only the
      // statements fail.
      {junk, "no active conversation", true},
      {folder, "cannot open Cursor DB", false},
  };
  for (const auto& c : cases) {
    CursorDBReader r("go", c.path);
    EXPECT_EQ(r.pollStableReply(), std::nullopt) << c.path;
    EXPECT_EQ(r.lastStatus(), c.status) << c.path;
    EXPECT_EQ(r.dbAvailable(), c.available) << c.path;
  }

  // Availability follows the latest poll.
  promptAndReply("done");
  const auto moved = home.path() / "moved.vscdb";
  CursorDBReader r("go", moved);
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_FALSE(r.dbAvailable());
  std::filesystem::copy_file(file, moved);
  EXPECT_EQ(r.pollStableReply(), "done");
  EXPECT_TRUE(r.dbAvailable());
}

TEST_F(CursorDbFixture, ANamedPipeIsNotOpened) {
  const auto pipe = home.path() / "pipe.vscdb";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  std::promise<void> polled;
  // Opening a pipe for reading blocks until a writer comes; should the poll
  // block, this opens the other end after a while so that the test ends.
  std::thread rescue([&, finished = polled.get_future()] {
    if (finished.wait_for(5s) == std::future_status::timeout) {
      const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  });
  CursorDBReader r("go", pipe);
  const auto started = std::chrono::steady_clock::now();
  const auto reply = r.pollStableReply();
  const auto took = std::chrono::steady_clock::now() - started;
  polled.set_value();
  rescue.join();
  EXPECT_EQ(reply, std::nullopt);
  EXPECT_LT(took, 5s) << "the poll blocked on the pipe";
  EXPECT_EQ(r.lastStatus(), "cannot open Cursor DB");
  EXPECT_FALSE(r.dbAvailable());
}

TEST_F(CursorDbFixture, ALockedDatabaseIsWaitedForBriefly) {
  promptAndReply("done");
  // In rollback-journal mode a writer's exclusive lock keeps readers out.
  exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; UPDATE ItemTable SET value = value;");
  auto r = reader("go");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 200ms) << "the lock is waited for";
  EXPECT_LT(took, 3s) << "but not for long";
  EXPECT_EQ(r.lastStatus(), "no active conversation");
  EXPECT_TRUE(r.dbAvailable());
  exec("COMMIT; PRAGMA locking_mode=NORMAL;");
  exec("SELECT 1 FROM ItemTable;");  // releases the exclusive lock
  EXPECT_EQ(r.pollStableReply(), "done");

  // In WAL mode a writer holding its transaction open does not block: the
  // reader sees the last committed reply.
  exec("PRAGMA journal_mode=WAL;");
  exec("BEGIN EXCLUSIVE;");
  bubble("A", "2", 2, "half written", "2");
  EXPECT_EQ(reader("go").pollStableReply(), "done");
  exec("COMMIT;");
  EXPECT_EQ(reader("go").pollStableReply(), "half written");
}

// The descriptors of this process that refer to `file`.
int openHandlesTo(const std::filesystem::path& file) {
  const auto target = std::filesystem::canonical(file);
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == target) ++n;
  }
  return n;
}

TEST_F(CursorDbFixture, EveryPollClosesTheDatabase) {
  const int before = openHandlesTo(file);
  auto r = reader("go");
  r.pollStableReply();  // no conversation
  promptAndReply(std::string(250, 'x'));
  r.pollStableReply();  // a reply, not yet stable
  EXPECT_EQ(r.pollStableReply(), std::string(250, 'x'));
  bubble("A", "2", 2, "go", "2");
  r.pollStableReply();  // rejected echo
  EXPECT_EQ(r.lastStatus(), "reply rejected (echo/debug)");
  EXPECT_EQ(openHandlesTo(file), before);
}

TEST_F(CursorDbFixture, APathStartingWithTwoSlashesOpens) {
  promptAndReply("done");
  ASSERT_TRUE(file.is_absolute());
  // "//tmp/..." names the same file, but "file://tmp/..." would make "tmp" a host.
  CursorDBReader r("go", "/" + file.string());
  EXPECT_EQ(r.pollStableReply(), "done") << r.lastStatus();
}

TEST(CursorDbPathTest, UriEscapesEverythingButThePathCharacters) {
  const struct {
    const char* path;
    const char* uri;
  } cases[] = {
      {"/home/a b/#x?.vscdb", "file:/home/a%20b/%23x%3F.vscdb?mode=ro"},
      {"/h/100%/a&b=c;d:e+f", "file:/h/100%25/a%26b%3Dc%3Bd%3Ae%2Bf?mode=ro"},
      {"/h/Jos\xC3\xA9/A-Z_a.z~0", "file:/h/Jos%C3%A9/A-Z_a.z~0?mode=ro"},
      {"//h/x", "file:////h/x?mode=ro"},
      {"rel/x", "file:rel/x?mode=ro"},
  };
  for (const auto& c : cases) EXPECT_EQ(cursorStateDbUri(c.path), c.uri) << c.path;
}

TEST(CursorDbPathTest, StateDatabaseUnderTheHomeFolder) {
#ifdef __APPLE__
  EXPECT_EQ(cursorStateDatabasePath("/Users/u"),
            "/Users/u/Library/Application Support/Cursor/User/globalStorage/state.vscdb");
#else
  EXPECT_EQ(cursorStateDatabasePath("/home/u"), "/home/u/.config/Cursor/User/globalStorage/state.vscdb");
#endif
}

}  // namespace
}  // namespace deskwave::testing
