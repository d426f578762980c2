// One poll of the Cursor database reader on a database of 50 conversations and
// 5,000 messages, beside its floor: the same two statements with no parsing.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "capture/cursor_db_reader.h"

namespace {

using namespace deskwave;

struct BenchDatabase {
  BenchDatabase() {
    char dir[] = "/tmp/deskwave-db-bench-XXXXXX";
    folder = ::mkdtemp(dir);
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
    const std::string filler(300, 'w');
    for (int c = 0; c < 50; ++c) {
      const auto id = "composer-" + std::to_string(c);
      headers["allComposers"].push_back({{"composerId", id}, {"lastUpdatedAt", c}});
      for (int b = 0; b < 100; ++b) {
        const bool user = b % 2 == 0;
        const std::string text = (c == 49 && b == 90) ? prompt : (user ? "question " : "answer ") + filler;
        const auto key = "bubbleId:" + id + ":" + std::to_string(100000 + b);
        const auto value = nlohmann::json{{"type", user ? 1 : 2}, {"text", text}, {"createdAt", std::to_string(1000 + b)}}.dump();
        sqlite3_bind_text(put, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(put, 2, value.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(put);
        sqlite3_reset(put);
      }
    }
    sqlite3_finalize(put);
    const auto h = headers.dump();
    const std::string sql = "INSERT INTO ItemTable VALUES('composer.composerHeaders', '" + h + "'); COMMIT;";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  ~BenchDatabase() { std::filesystem::remove_all(folder); }

  const std::string prompt = "Refactor the parser and add tests for the error paths";
  std::filesystem::path folder;
  std::filesystem::path file;
};

BenchDatabase& database() {
  static BenchDatabase db;
  return db;
}

void BM_CursorDbPoll(benchmark::State& state) {
  auto& db = database();
  for (auto _ : state) {
    CursorDBReader reader(db.prompt, db.file);
    benchmark::DoNotOptimize(reader.pollStableReply());
  }
}
BENCHMARK(BM_CursorDbPoll)->Unit(benchmark::kMicrosecond);

// The floor: open, the two statements, close; no JSON.
void BM_CursorDbStatementsOnly(benchmark::State& state) {
  auto& db = database();
  const auto uri = CursorDBReader::readOnlyUri(db.file);
  for (auto _ : state) {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(uri.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    std::size_t bytes = 0;
    for (const auto* sql : {"SELECT value FROM ItemTable WHERE key='composer.composerHeaders'",
                            "SELECT value FROM cursorDiskKV WHERE key >= 'bubbleId:composer-49:' AND key < 'bubbleId:composer-49;'"}) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(handle, sql, -1, &s, nullptr);
      while (sqlite3_step(s) == SQLITE_ROW) bytes += static_cast<std::size_t>(sqlite3_column_bytes(s, 0));
      sqlite3_finalize(s);
    }
    sqlite3_close(handle);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_CursorDbStatementsOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
