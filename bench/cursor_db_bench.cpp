// One poll of the Cursor database reader on a database of 50 conversations and
// 5,000 messages of a few hundred bytes, the prompt in the newest conversation,
// each conversation with its composer record (a finished turn); beside it the
// floor: opening the database and running the same two statements with no JSON
// parsing. The same poll on a copy without the conversation list, where the
// newest conversation is found among the composer records, and the activity
// tab's check of the newest composer's turn.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "capture/cursor_composer_state.h"
#include "capture/cursor_db_reader.h"

namespace {

using namespace deskwave;

constexpr int kConversations = 50;
constexpr int kBubblesPerConversation = 100;

// Deterministic pseudo-random numbers, so that every run builds the same file.
std::uint64_t next(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 33;
}

// Prose of about `bytes` bytes, in lines, like a chat message.
std::string prose(std::uint64_t& state, std::size_t bytes) {
  static const char* const words[] = {"the", "parser", "returns", "an", "error", "when", "input", "is", "empty",
                                      "we",  "should", "add",     "a",  "test",  "for",  "this", "case", "function",
                                      "handles", "buffer", "`std::string_view`", "instead", "of", "copying", "it"};
  std::string out;
  while (out.size() < bytes) {
    out += words[next(state) % std::size(words)];
    out += next(state) % 12 == 0 ? "\n" : " ";
  }
  return out;
}

// Bubble ids look random, as Cursor's do, so key order is not time order.
std::string bubbleId(std::uint64_t& state) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 32; ++i) id += kHex[next(state) % 16];
  return id;
}

struct BenchDatabase {
  explicit BenchDatabase(bool withHeaders) {
    char dir[] = "/tmp/deskwave-db-bench-XXXXXX";
    if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    folder = dir;
    file = folder / "state.vscdb";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE ItemTable(key TEXT PRIMARY KEY, value BLOB);"
                 "CREATE TABLE cursorDiskKV(key TEXT PRIMARY KEY, value BLOB); BEGIN;",
                 nullptr, nullptr, nullptr);
    nlohmann::json headers = {{"allComposers", nlohmann::json::array()}};
    sqlite3_stmt* put = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO cursorDiskKV VALUES(?, ?)", -1, &put, nullptr);
    auto store = [put](const std::string& key, const std::string& value) {
      sqlite3_bind_text(put, 1, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(put, 2, value.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(put);
      sqlite3_reset(put);
    };
    std::uint64_t state = 42;
    for (int c = 0; c < kConversations; ++c) {
      conversation = "composer-" + std::to_string(c);
      headers["allComposers"].push_back(
          {{"composerId", conversation}, {"name", "chat " + std::to_string(c)}, {"lastUpdatedAt", 1700000000000LL + c}});
      nlohmann::json order = nlohmann::json::array();
      for (int b = 0; b < kBubblesPerConversation; ++b) {
        const bool user = b % 2 == 0;
        const bool anchor = c == kConversations - 1 && b == kBubblesPerConversation - 10;
        const auto id = bubbleId(state);
        const nlohmann::json bubble = {
            {"_v", 2},
            {"bubbleId", id},
            {"type", user ? 1 : 2},
            {"text", anchor ? prompt : prose(state, user ? 150 : 200 + next(state) % 400)},
            {"createdAt", "2026-01-01T10:" + std::to_string(10 + b / 50) + ":" + std::to_string(10 + b % 50) + ".000Z"},
            {"isAgentic", false},
            {"codeBlocks", nlohmann::json::array()},
        };
        store("bubbleId:" + conversation + ":" + id, bubble.dump());
        order.push_back({{"bubbleId", id}, {"type", user ? 1 : 2}});
      }
      const nlohmann::json composer = {
          {"_v", 3},
          {"composerId", conversation},
          {"richText", prose(state, 300)},
          {"text", ""},
          {"fullConversationHeadersOnly", order},
          {"status", "completed"},
          {"generatingBubbleIds", nlohmann::json::array()},
          {"context", {{"fileSelections", nlohmann::json::array()}, {"notepads", nlohmann::json::array()}}},
          {"createdAt", 1699999000000LL + c},
          {"lastUpdatedAt", 1700000000000LL + c},
      };
      store("composerData:" + conversation, composer.dump());
    }
    sqlite3_finalize(put);
    if (withHeaders) {
      sqlite3_prepare_v2(db, "INSERT INTO ItemTable VALUES('composer.composerHeaders', ?)", -1, &put, nullptr);
      const auto h = headers.dump();
      sqlite3_bind_text(put, 1, h.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(put);
      sqlite3_finalize(put);
    }
    if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error("commit failed");
    sqlite3_close(db);
  }
  ~BenchDatabase() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  const std::string prompt = "Refactor the parser and add tests for the error paths";
  std::string conversation;  // the newest, the last one written
  std::filesystem::path folder;
  std::filesystem::path file;
};

BenchDatabase& database() {
  static BenchDatabase db(true);
  return db;
}

BenchDatabase& databaseWithoutHeaders() {
  static BenchDatabase db(false);
  return db;
}

void pollBenchmark(benchmark::State& state, BenchDatabase& db) {
  {
    CursorDBReader check(db.prompt, db.file);
    check.pollStableReply();
    if (check.lastStatus().rfind("assistant ", 0) != 0) {
      state.SkipWithError(("the poll found no reply: " + check.lastStatus()).c_str());
      return;
    }
  }
  for (auto _ : state) {
    CursorDBReader reader(db.prompt, db.file);
    benchmark::DoNotOptimize(reader.pollStableReply());
  }
}

void BM_CursorDbPoll(benchmark::State& state) { pollBenchmark(state, database()); }
BENCHMARK(BM_CursorDbPoll)->Unit(benchmark::kMicrosecond);

void BM_CursorDbPollWithoutHeaders(benchmark::State& state) { pollBenchmark(state, databaseWithoutHeaders()); }
BENCHMARK(BM_CursorDbPollWithoutHeaders)->Unit(benchmark::kMicrosecond);

// The Cursor activity tab's question on every poll: is the newest composer's turn over?
void BM_CursorComposerTurnCheck(benchmark::State& state) {
  auto& db = database();
  if (!cursorNewestComposerTurnIsOver(db.file)) {
    state.SkipWithError("the newest composer's turn is not read as over");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(cursorNewestComposerTurnIsOver(db.file));
}
BENCHMARK(BM_CursorComposerTurnCheck)->Unit(benchmark::kMicrosecond);

// The floor: open, the two statements with their bound keys, close; no JSON.
void BM_CursorDbStatementsOnly(benchmark::State& state) {
  auto& db = database();
  const auto uri = cursorStateDbUri(db.file);
  const std::string from = "bubbleId:" + db.conversation + ":";
  const std::string to = "bubbleId:" + db.conversation + ";";
  std::size_t rows = 0;
  for (auto _ : state) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(uri.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    sqlite3_busy_timeout(handle, 250);
    std::size_t bytes = 0;
    rows = 0;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(handle, "SELECT value FROM ItemTable WHERE key='composer.composerHeaders'", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) bytes += static_cast<std::size_t>(sqlite3_column_bytes(s, 0));
    sqlite3_finalize(s);
    sqlite3_prepare_v2(handle, "SELECT value FROM cursorDiskKV WHERE key >= ? AND key < ?", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, from.data(), static_cast<int>(from.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, to.data(), static_cast<int>(to.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(s) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(s, 0);
      bytes += text ? static_cast<std::size_t>(sqlite3_column_bytes(s, 0)) : 0;
      ++rows;
    }
    sqlite3_finalize(s);
    sqlite3_close(handle);
    benchmark::DoNotOptimize(bytes);
  }
  if (rows != kBubblesPerConversation) state.SkipWithError("the range statement missed rows");
}
BENCHMARK(BM_CursorDbStatementsOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
