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

#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// A state database shaped like Cursor's, written by the test through its own
// connection. The folder name carries a space, "#", "?", "%", "&", "=" and a
// non-ASCII letter, so every test also proves that such a path opens.
class CursorDbFixture : public ::testing::Test {
 protected:
  void SetUp() override { open(home.path() / "Cursor data" / "#1?%25&x=\xC3\xA9" / "state.vscdb"); }
  void TearDown() override { sqlite3_close(db); }

  void open(const std::filesystem::path& path) {
    sqlite3_close(db);
    file = path;
    std::filesystem::create_directories(file.parent_path());
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    exec("CREATE TABLE IF NOT EXISTS ItemTable(key TEXT PRIMARY KEY, value BLOB);"
         "CREATE TABLE IF NOT EXISTS cursorDiskKV(key TEXT PRIMARY KEY, value BLOB);");
  }
  void exec(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db);
  }
  // Stores `value` as text, or NULL when absent.
  void put(const std::string& table, const std::string& key, const std::optional<std::string>& value) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, ("INSERT OR REPLACE INTO " + table + " VALUES(?, ?)").c_str(), -1, &s, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    if (value)
      sqlite3_bind_text(s, 2, value->c_str(), -1, SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(s, 2);
    ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
    sqlite3_finalize(s);
  }
  void headers(const Json& doc) { put("ItemTable", "composer.composerHeaders", doc.dump()); }
  void bubble(const std::string& convo, const std::string& id, int type, const std::string& text,
              const std::string& createdAt) {
    put("cursorDiskKV", "bubbleId:" + convo + ":" + id,
        Json{{"type", type}, {"text", text}, {"createdAt", createdAt}}.dump());
  }
  void rawBubble(const std::string& convo, const std::string& id, const std::optional<std::string>& value) {
    put("cursorDiskKV", "bubbleId:" + convo + ":" + id, value);
  }
  // One conversation "A" holding the prompt and the given reply.
  void promptAndReply(const std::string& reply, const std::string& prompt = "go") {
    headers(Json::array({{{"composerId", "A"}}}));
    bubble("A", "1", 1, prompt, "1");
    bubble("A", "2", 2, reply, "2");
  }
  CursorDBReader reader(const std::string& prompt) { return CursorDBReader(prompt, file); }

  TempHome home;
  std::filesystem::path file;
  sqlite3* db = nullptr;
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
  };
  for (const auto& c : cases) {
    put("ItemTable", "composer.composerHeaders", std::string(c.headers));
    auto r = reader("go");
    EXPECT_EQ(r.pollStableReply(), c.reply) << c.headers;
    EXPECT_EQ(r.lastStatus(), "assistant 6 chars (stable 1/1)") << c.headers;
  }
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
  for (const auto& c : cases) EXPECT_EQ(CursorDBReader::readOnlyUri(c.path), c.uri) << c.path;
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
