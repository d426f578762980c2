// Costs of the reply path's bookkeeping: the outbox snapshot that every poll and
// relay resend copies, and the history insert that rewrites a target's whole list.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "delivery/message_store.h"
#include "delivery/response_outbox.h"
#include "platform/memory_settings_store.h"
#include "platform/sqlite_settings_store.h"

namespace {

using namespace deskwave;

const std::string kReply(2000, 'x');  // a typical reply of a few paragraphs

// Snapshot of a full queue of 100 replies (what each "/responses" poll costs).
void BM_OutboxPendingFull(benchmark::State& state) {
  ResponseOutbox outbox;
  for (int i = 0; i < 100; ++i) outbox.add("cursor", kReply, "assistant");
  for (auto _ : state) benchmark::DoNotOptimize(outbox.pending());
}
BENCHMARK(BM_OutboxPendingFull);

// Adding one reply to a full queue (dropping the oldest).
void BM_OutboxAddAtCapacity(benchmark::State& state) {
  ResponseOutbox outbox;
  for (int i = 0; i < 100; ++i) outbox.add("cursor", kReply, "assistant");
  for (auto _ : state) benchmark::DoNotOptimize(outbox.add("cursor", kReply, "assistant"));
}
BENCHMARK(BM_OutboxAddAtCapacity);

// One history insert on a target that already holds `range(0)` entries, written
// through to the SQLite settings database (what a reply costs on the main thread).
void BM_HistoryInsertSqlite(benchmark::State& state) {
  char dir[] = "/tmp/deskwave-bench-XXXXXX";
  if (!::mkdtemp(dir)) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  {
    std::shared_ptr<SettingsStore> settings = SqliteSettingsStore::open(std::filesystem::path(dir) / "s.sqlite3");
    MessageStore store(settings);
    const auto now = std::chrono::system_clock::now();
    for (int64_t i = 0; i < state.range(0); ++i) store.insert(Message::make(kReply, now, i % 2 == 0), "cursor");
    for (auto _ : state) store.insert(Message::make(kReply, now, true), "cursor");
    state.counters["history"] = static_cast<double>(state.range(0));
  }
  std::filesystem::remove_all(dir);
}
// Fixed iterations keep the list within 50 entries of its starting size.
BENCHMARK(BM_HistoryInsertSqlite)->Arg(10)->Arg(100)->Arg(1000)->Iterations(50)->Unit(benchmark::kMillisecond);

// The same insert with an in-memory store: the encoding alone, the floor of the above.
void BM_HistoryInsertMemory(benchmark::State& state) {
  auto settings = std::make_shared<MemorySettingsStore>();
  MessageStore store(settings);
  const auto now = std::chrono::system_clock::now();
  for (int64_t i = 0; i < state.range(0); ++i) store.insert(Message::make(kReply, now, false), "cursor");
  for (auto _ : state) store.insert(Message::make(kReply, now, true), "cursor");
}
BENCHMARK(BM_HistoryInsertMemory)->Arg(10)->Arg(100)->Arg(1000)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
