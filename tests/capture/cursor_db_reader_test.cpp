#include "capture/cursor_db_reader.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;

// A state database shaped like Cursor's, written by the test.
class CursorDbFixture : public ::testing::Test {
 protected:
  void SetUp() override { open(home.path() / "Cursor data" / "#1?" / "state.vscdb"); }
  void TearDown() override { sqlite3_close(db); }

  void open(const std::filesystem::path& path) {
    sqlite3_close(db);
    file = path;
    std::filesystem::create_directories(file.parent_path());
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    exec("CREATE TABLE IF NOT EXISTS ItemTable(key TEXT PRIMARY KEY, value BLOB);"
         "CREATE TABLE IF NOT EXISTS cursorDiskKV(key TEXT PRIMARY KEY, value BLOB);");
  }
  void exec(const std::string& sql) { ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }
  void put(const std::string& table, const std::string& key, const std::string& value) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, ("INSERT OR REPLACE INTO " + table + " VALUES(?, ?)").c_str(), -1, &s, nullptr);
    sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, value.c_str(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
    sqlite3_finalize(s);
  }
  void headers(const Json& doc) { put("ItemTable", "composer.composerHeaders", doc.dump()); }
  void bubble(const std::string& convo, const std::string& id, int type, const std::string& text,
              const std::string& createdAt) {
    put("cursorDiskKV", "bubbleId:" + convo + ":" + id,
        Json{{"type", type}, {"text", text}, {"createdAt", createdAt}}.dump());
  }
  CursorDBReader reader(const std::string& prompt) { return CursorDBReader(prompt, file); }

  TempHome home;
  std::filesystem::path file;
  sqlite3* db = nullptr;
};

TEST_F(CursorDbFixture, ReadsTheReplyInTheNewestConversationAfterTheLaterPrompt) {
  headers({{"allComposers", {{{"composerId", "old"}, {"lastUpdatedAt", 5}}, {{"composerId", "new"}, {"lastUpdatedAt", 9}}}}});
  bubble("new", "a", 1, "Fix the build", "2026-01-01T10:00:00Z");
  bubble("new", "b", 2, "first answer", "2026-01-01T10:00:01Z");
  bubble("new", "c", 1, "fix the BUILD", "2026-01-01T10:01:00Z");
  bubble("new", "d", 2, "  Part one [REDACTED]\n\n", "2026-01-01T10:01:01Z");
  bubble("new", "e", 2, "[REDACTED]", "2026-01-01T10:01:02Z");
  bubble("new", "f", 3, "tool output", "2026-01-01T10:01:03Z");
  bubble("new", "g", 2, "Part two", "2026-01-01T10:01:04Z");
  bubble("new", "h", 1, "next question", "2026-01-01T10:02:00Z");
  bubble("new", "i", 2, "not this", "2026-01-01T10:02:01Z");
  bubble("newer", "x", 2, "other conversation's key range", "2026-01-01T10:01:02Z");
  put("cursorDiskKV", "bubbleId:new:zz", "not json");
  auto r = reader("Fix the build");
  EXPECT_EQ(r.pollStableReply(), "Part one\n\nPart two");
  EXPECT_EQ(r.lastStatus(), "assistant 18 chars (stable 1/1)");
  EXPECT_TRUE(r.dbAvailable());
}

TEST_F(CursorDbFixture, TheNewestConversationIsChosenInEveryHeaderShape) {
  const Json shapes[] = {
      {{"allComposers", {{{"composerId", "A"}, {"lastUpdatedAt", 1}}, {{"composerId", "B"}, {"lastUpdatedAt", 2}}}}},
      {{"x", {{"composerId", "A"}, {"lastUpdatedAt", 1}}}, {"y", {{"composerId", "B"}, {"lastUpdatedAt", 2.5}}}, {"n", 3}},
      Json::array({{{"composerId", "A"}}, {{"composerId", "B"}, {"lastUpdatedAt", 7}}}),
  };
  bubble("B", "1", 1, "go", "1");
  bubble("B", "2", 2, "from B", "2");
  bubble("A", "1", 1, "go", "1");
  bubble("A", "2", 2, "from A", "2");
  for (const auto& shape : shapes) {
    headers(shape);
    EXPECT_EQ(reader("go").pollStableReply(), "from B") << shape.dump();
  }
}

TEST_F(CursorDbFixture, APromptSentToAnotherConversationIsNotFound) {
  headers(Json::array({{{"composerId", "A"}, {"lastUpdatedAt", 1}}}));
  bubble("A", "1", 1, "something else", "1");
  bubble("A", "2", 2, "answer", "2");
  auto r = reader("Fix the build");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "waiting for assistant reply (2 bubbles)");
}

TEST_F(CursorDbFixture, EchoesAreRejectedAndLongRepliesNeedTwoPolls) {
  headers(Json::array({{{"composerId", "A"}}}));
  bubble("A", "1", 1, "go now", "1");
  bubble("A", "2", 2, "GO  now", "2");
  auto r = reader("go now");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "reply rejected (echo/debug)");

  bubble("A", "2", 2, std::string(239, 'a'), "2");
  EXPECT_EQ(r.pollStableReply(), std::string(239, 'a'));
  bubble("A", "2", 2, std::string(240, 'b'), "2");
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_EQ(r.lastStatus(), "assistant 240 chars (stable 1/2)");
  bubble("A", "2", 2, std::string(241, 'b'), "2");
  EXPECT_EQ(r.pollStableReply(), std::nullopt) << "a change restarts the count";
  EXPECT_EQ(r.pollStableReply(), std::string(241, 'b'));
}

TEST_F(CursorDbFixture, EqualStampsKeepRowOrder) {
  headers(Json::array({{{"composerId", "A"}}}));
  bubble("A", "1", 1, "go", "t0");
  bubble("A", "3", 2, "second", "t1");
  bubble("A", "2", 2, "first", "t1");  // rows come in key order: 2 before 3
  EXPECT_EQ(reader("go").pollStableReply(), "first\n\nsecond");
}

TEST_F(CursorDbFixture, MissingOrUnreadableDatabases) {
  CursorDBReader missing("go", home.path() / "nope.vscdb");
  EXPECT_EQ(missing.lastStatus(), "waiting (db)");
  EXPECT_EQ(missing.pollStableReply(), std::nullopt);
  EXPECT_EQ(missing.lastStatus(), "Cursor DB not found");
  EXPECT_FALSE(missing.dbAvailable());

  const auto junk = home.path() / "junk.vscdb";
  std::ofstream(junk) << "this is not a database at all, just text that is long enough";
  CursorDBReader notDb("go", junk);
  EXPECT_EQ(notDb.pollStableReply(), std::nullopt);
  EXPECT_EQ(notDb.lastStatus(), "no active conversation") << "opening succeeds; the statements find nothing";

  EXPECT_EQ(reader("go").pollStableReply(), std::nullopt);
  EXPECT_EQ(reader("go").lastStatus(), "waiting (db)");
}

TEST_F(CursorDbFixture, ALockedDatabaseIsWaitedForBriefly) {
  headers(Json::array({{{"composerId", "A"}}}));
  bubble("A", "1", 1, "go", "1");
  bubble("A", "2", 2, "done", "2");
  exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; UPDATE ItemTable SET value = value;");
  auto r = reader("go");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(r.pollStableReply(), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "the poll must not hang";
  EXPECT_EQ(r.lastStatus(), "no active conversation");
  exec("COMMIT; PRAGMA locking_mode=NORMAL;");
  exec("SELECT 1 FROM ItemTable;");  // releases the exclusive lock
  EXPECT_EQ(r.pollStableReply(), "done");
}

TEST(CursorDbPathTest, UriEscapesEverythingButThePathCharacters) {
  EXPECT_EQ(CursorDBReader::readOnlyUri("/home/a b/#x?.vscdb"), "file:/home/a%20b/%23x%3F.vscdb?mode=ro");
  EXPECT_EQ(cursorStateDatabasePath("/home/u"), "/home/u/.config/Cursor/User/globalStorage/state.vscdb");
}

}  // namespace
}  // namespace deskwave::testing
