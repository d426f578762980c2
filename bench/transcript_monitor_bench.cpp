// Costs of the transcript monitors' polls on the background queue.
//
// Changed transcript: the Claude conversation monitor's poll and the activity
// monitor's computation on a 1,000,000-byte tail, beside two floors: reading
// those bytes alone, and parsing those lines as JSON alone.
// Unchanged transcript: the activity monitor's walk of the whole tree plus the
// conversation monitor's session choice, on 5,000 transcripts in 200 projects.
//
// Run: ./build/bench/transcript_monitor_bench

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "capture/claude_transcript.h"
#include "capture/transcript_claude_monitor.h"
#include "capture/transcript_cockpit_monitor.h"
#include "platform/memory_settings_store.h"
#include "platform/virtual_time.h"

namespace {

using namespace deskwave;
namespace fs = std::filesystem;
using Json = nlohmann::json;

// ---- Transcripts shaped like Claude's: per turn a prompt, thinking, text, tool
// calls whose results (file contents, command output) make up most of the bytes
// and are stored twice, as Claude does, and a closing text.

class TranscriptGenerator {
 public:
  // Entries are stamped on January `day`, 2026, one second apart.
  explicit TranscriptGenerator(int day = 1) : day_(day) {}
  std::string turns(std::size_t targetBytes) {
    std::string out;
    while (out.size() < targetBytes) appendTurn(out);
    return out;
  }
  std::string oneTurn() {
    std::string out;
    appendTurn(out);
    return out;
  }

 private:
  std::string words(std::size_t count) {
    static const char* kWords[] = {"the",   "parser", "reads",  "each", "line",  "of",   "build",    "output",
                                   "fixes", "a",      "branch", "when", "tests", "fail", "function", "returns",
                                   "value", "error",  "config", "file", "path",  "é",    "→",        "naïve"};
    std::string s;
    for (std::size_t i = 0; i < count; ++i) {
      if (i) s += (i % 17 == 0) ? "\n" : " ";
      s += kWords[rng_() % std::size(kWords)];
    }
    return s;
  }
  std::string codeBlob(std::size_t lines) {
    std::string s;
    for (std::size_t i = 0; i < lines; ++i)
      s += "    " + std::to_string(i + 1) + "\u2192  const auto value = compute(" + words(3) + ");\n";
    return s;
  }
  std::string stamp() {
    ++seconds_;
    char b[40];
    std::snprintf(b, sizeof b, "2026-01-%02dT%02d:%02d:%02d.%03dZ", day_, seconds_ / 3600 % 24, seconds_ / 60 % 60,
                  seconds_ % 60, static_cast<int>(rng_() % 1000));
    return b;
  }
  Json base(const char* type) {
    return {{"parentUuid", "4f1c2e3a-" + std::to_string(rng_())},
            {"isSidechain", false},
            {"userType", "external"},
            {"cwd", "/home/dev/projects/deskwave"},
            {"sessionId", "0b6f6a4e-9c1d-4d8e-8a8e-2f4c1f0e9b7d"},
            {"version", "1.0.98"},
            {"gitBranch", "main"},
            {"type", type},
            {"uuid", "9d3e1f2a-" + std::to_string(rng_())},
            {"timestamp", stamp()}};
  }
  Json assistant(Json content, const char* stop) {
    Json e = base("assistant");
    e["requestId"] = "req_011CT" + std::to_string(rng_());
    e["message"] = {{"id", "msg_01" + std::to_string(rng_())},
                    {"type", "message"},
                    {"role", "assistant"},
                    {"model", "claude-sonnet-4"},
                    {"content", std::move(content)},
                    {"stop_reason", stop ? Json(stop) : Json()},
                    {"stop_sequence", nullptr},
                    {"usage",
                     {{"input_tokens", 4},
                      {"cache_creation_input_tokens", rng_() % 5000},
                      {"cache_read_input_tokens", rng_() % 90000},
                      {"output_tokens", rng_() % 900},
                      {"service_tier", "standard"}}}};
    return e;
  }
  void appendTurn(std::string& out) {
    auto line = [&](const Json& j) { out += j.dump() + "\n"; };
    Json prompt = base("user");
    prompt["message"] = {{"role", "user"}, {"content", words(30)}};
    line(prompt);
    line(assistant(Json::array({{{"type", "thinking"}, {"thinking", words(80)}, {"signature", std::string(300, 'S')}}}),
                   nullptr));
    line(assistant(Json::array({{{"type", "text"}, {"text", words(40)}}}), nullptr));
    for (int call = 0; call < 3; ++call) {
      const std::string id = "toolu_01" + std::to_string(rng_());
      line(assistant(Json::array({{{"type", "tool_use"},
                                   {"id", id},
                                   {"name", call == 1 ? "Bash" : "Read"},
                                   {"input", {{"file_path", "/home/dev/projects/deskwave/src/x.cpp"}}}}}),
                     "tool_use"));
      const auto result = codeBlob(20 + rng_() % 60);
      Json tool = base("user");
      tool["message"] = {
          {"role", "user"},
          {"content", Json::array({{{"tool_use_id", id}, {"type", "tool_result"}, {"content", result}}})}};
      tool["toolUseResult"] = {{"type", "text"}, {"file", {{"filePath", "/src/x.cpp"}, {"content", result}}}};
      line(tool);
      line(assistant(Json::array({{{"type", "text"}, {"text", words(25)}}}), nullptr));
    }
    line(assistant(Json::array({{{"type", "text"}, {"text", words(120)}}}), "end_turn"));
  }

  std::mt19937 rng_{42};
  int day_;
  int seconds_ = 0;
};

void setModified(const fs::path& file, WallTime t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

// A temporary home folder, removed at the end.
class BenchHome {
 public:
  BenchHome() {
    char dir[] = "/tmp/deskwave-bench-XXXXXX";
    if (::mkdtemp(dir)) path_ = dir;
  }
  ~BenchHome() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// One session of 1.3 MB: the tail read is a full 1,000,000 bytes.
struct LargeSession {
  BenchHome home;
  fs::path file;
  LargeSession() {
    file = home.path() / ".claude/projects/-home-dev-projects-deskwave/0b6f6a4e.jsonl";
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << TranscriptGenerator().turns(1'300'000);
  }
};

// The conversation monitor's poll after one more turn (about 10 KB) was
// written to a large session whose history is already reported: the cost of
// finding, reading, parsing and grouping what changed.
void BM_ClaudeMonitorPollChangedTail(benchmark::State& state) {
  LargeSession session;
  auto time = VirtualTime::create();
  auto runtime = time->runtime();
  auto settings = std::make_shared<MemorySettingsStore>();
  auto log =
      WatcherDebugLog::create(session.home.path() / "debug.log", runtime.main, runtime.clock, [](std::string_view) {});
  auto monitor = TranscriptClaudeMonitor::create(runtime, session.home.path(), settings, log);
  int replies = 0;
  monitor->onReply = [&](const std::string&) { ++replies; };
  monitor->start();
  time->advance(Seconds(2));
  TranscriptGenerator more(2);  // later than the history
  WallTime modified = time->clock()->now();
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(session.file, std::ios::binary | std::ios::app) << more.oneTurn();
    modified += std::chrono::milliseconds(1);
    setModified(session.file, modified);
    state.ResumeTiming();
    time->advance(Seconds(2));  // one poll
  }
  time->runUntilIdle();
  if (replies != state.iterations()) state.SkipWithError("a new turn was not reported once");
}
BENCHMARK(BM_ClaudeMonitorPollChangedTail)->Unit(benchmark::kMillisecond);

// The activity monitor's poll after the transcript changed: the tree walk and
// the running turn computed from the tail.
void BM_ActivityComputeChangedTail(benchmark::State& state) {
  LargeSession session;
  auto time = VirtualTime::create();
  auto monitor = TranscriptCockpitMonitor::create(CockpitAdapter::claude(session.home.path()), time->runtime());
  int posts = 0;
  monitor->onPartial = [&](const std::optional<std::string>&) { ++posts; };
  monitor->start();
  WallTime modified = time->clock()->now();
  for (auto _ : state) {
    modified += std::chrono::milliseconds(1);
    setModified(session.file, modified);
    time->advance(Seconds(2));
  }
  if (posts != state.iterations()) state.SkipWithError("a changed transcript was not computed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1'000'000);
}
BENCHMARK(BM_ActivityComputeChangedTail)->Unit(benchmark::kMillisecond);

// Floor: reading the 1,000,000 bytes only.
void BM_FloorReadTail(benchmark::State& state) {
  LargeSession session;
  for (auto _ : state) benchmark::DoNotOptimize(readTranscriptTail(session.file));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1'000'000);
}
BENCHMARK(BM_FloorReadTail)->Unit(benchmark::kMillisecond);

// Floor: parsing the tail's lines as JSON with nlohmann only (bytes already read).
void BM_FloorParseTailLines(benchmark::State& state) {
  LargeSession session;
  const auto tail = readTranscriptTail(session.file);
  std::vector<std::string_view> lines;
  std::string_view rest(tail.bytes);
  rest.remove_prefix(rest.find('\n') + 1);  // the partial first line
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    lines.push_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  for (auto _ : state) {
    for (const auto line : lines) benchmark::DoNotOptimize(Json::parse(line, nullptr, false));
  }
  state.counters["lines"] = static_cast<double>(lines.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1'000'000);
}
BENCHMARK(BM_FloorParseTailLines)->Unit(benchmark::kMillisecond);

// ---- 5,000 transcripts in 200 project folders, nothing changing.

struct LargeTree {
  BenchHome home;
  fs::path root;
  LargeTree() {
    root = home.path() / ".claude/projects";
    const std::string small = TranscriptGenerator().turns(2'000);
    const WallTime base = VirtualTime::defaultStart() - std::chrono::hours(24 * 30);
    for (int p = 0; p < 200; ++p) {
      const auto folder = root / ("-home-dev-projects-app" + std::to_string(p));
      fs::create_directories(folder);
      for (int f = 0; f < 25; ++f) {
        const auto file = folder / ("session-" + std::to_string(f) + ".jsonl");
        std::ofstream(file, std::ios::binary) << small;
        setModified(file, base + std::chrono::seconds(p * 25 + f));
      }
    }
  }
};

// Both monitors' polls on an unchanged tree: the activity monitor walks the whole
// tree, the conversation monitor lists the project folders; neither reads.
void BM_UnchangedPollTree5000(benchmark::State& state) {
  LargeTree tree;
  auto time = VirtualTime::create();
  auto runtime = time->runtime();
  auto settings = std::make_shared<MemorySettingsStore>();
  auto log =
      WatcherDebugLog::create(tree.home.path() / "debug.log", runtime.main, runtime.clock, [](std::string_view) {});
  auto claude = TranscriptClaudeMonitor::create(runtime, tree.home.path(), settings, log);
  auto cockpit = TranscriptCockpitMonitor::create(CockpitAdapter::claude(tree.home.path()), runtime);
  claude->start();
  cockpit->start();
  time->advance(Seconds(2));  // the first polls read once
  for (auto _ : state) time->advance(Seconds(2));
  state.counters["files"] = 5000;
}
BENCHMARK(BM_UnchangedPollTree5000)->Unit(benchmark::kMillisecond);

// The two halves of the above.
void BM_TreeWalk5000(benchmark::State& state) {
  LargeTree tree;
  for (auto _ : state) benchmark::DoNotOptimize(mostRecentJSONL(tree.root));
}
BENCHMARK(BM_TreeWalk5000)->Unit(benchmark::kMillisecond);

void BM_SessionChoice5000(benchmark::State& state) {
  LargeTree tree;
  auto time = VirtualTime::create();
  auto runtime = time->runtime();
  auto log =
      WatcherDebugLog::create(tree.home.path() / "debug.log", runtime.main, runtime.clock, [](std::string_view) {});
  auto claude =
      TranscriptClaudeMonitor::create(runtime, tree.home.path(), std::make_shared<MemorySettingsStore>(), log);
  for (auto _ : state) benchmark::DoNotOptimize(claude->activeSessionFile());
}
BENCHMARK(BM_SessionChoice5000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
