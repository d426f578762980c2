// Resident memory and CPU time of a real `deskwave --headless` over a minute,
// in three homes:
//   (a) the floor: a signed-in home with no transcripts;
//   (b) idle beside 5,000 Claude Code transcripts in 250 project folders and
//       500 Cursor agent transcripts in 50 projects, none of them changing;
//   (c) the home of (b) while the newest Claude transcript grows by one line a
//       second, as during a conversation at the desk (a prompt, thinking, a
//       tool call, its result and a closing reply: one mirrored prompt and one
//       mirrored reply every five seconds).
// Memory: VmRSS at the end and VmHWM (the peak since start) from
// /proc/PID/status. CPU: utime + stime from /proc/PID/stat over the measured
// window, which starts once the local link answers "/health" (the start-up's
// own CPU time is printed apart).
//
// Run: tests/system/run_isolated.sh build/bench/headless_footprint_bench [--seconds N]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "support/onboarded_home.h"
#include "support/temp_home.h"
#include "system_bench_support.h"

namespace {

using namespace deskwave;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Json = nlohmann::json;
using SystemClock = std::chrono::system_clock;

constexpr int kClaudeProjects = 250;
constexpr int kClaudePerProject = 20;  // 5,000 transcripts
constexpr int kCursorProjects = 50;
constexpr int kCursorPerProject = 10;  // 500 transcripts

// ---- Transcript lines shaped like the tools' own.

class Lines {
 public:
  std::string words(std::size_t count) {
    static const char* kWords[] = {"the",   "parser", "reads", "each", "line",  "of",   "build",    "output",
                                   "fixes", "a",      "test",  "when", "files", "fail", "function", "returns",
                                   "value", "error",  "path",  "é",    "→",     "naïve"};
    std::string s;
    for (std::size_t i = 0; i < count; ++i) {
      if (i) s += ' ';
      s += kWords[rng_() % std::size(kWords)];
    }
    return s;
  }
  std::string uuid() {
    char b[40];
    std::snprintf(b, sizeof b, "%08x-%04x-4%03x-8%03x-%012llx", static_cast<unsigned>(rng_()),
                  static_cast<unsigned>(rng_() & 0xffff), static_cast<unsigned>(rng_() & 0xfff),
                  static_cast<unsigned>(rng_() & 0xfff), static_cast<unsigned long long>(rng_() & 0xffffffffffffULL));
    return b;
  }

  // Claude Code: entries typed "user" / "assistant" with their envelope.
  Json claudeBase(const char* type, const std::string& timestamp) {
    return {{"parentUuid", uuid()}, {"isSidechain", false},   {"userType", "external"},
            {"cwd", "/home/dev/src/app"}, {"sessionId", session_}, {"version", "1.0.98"},
            {"gitBranch", "main"},    {"type", type},          {"uuid", uuid()},
            {"timestamp", timestamp}};
  }
  Json claudeAssistant(Json content, const char* stop, const std::string& timestamp) {
    Json e = claudeBase("assistant", timestamp);
    e["message"] = {{"id", "msg_01" + uuid()},
                    {"type", "message"},
                    {"role", "assistant"},
                    {"model", "claude-sonnet-4"},
                    {"content", std::move(content)},
                    {"stop_reason", stop ? Json(stop) : Json()},
                    {"usage", {{"input_tokens", 4}, {"output_tokens", rng_() % 900}}}};
    return e;
  }
  // Step `step` (0 to 4, repeating) of one Claude turn.
  std::string claudeStep(int step, const std::string& timestamp) {
    switch (step % 5) {
      case 0: {
        Json e = claudeBase("user", timestamp);
        e["message"] = {{"role", "user"}, {"content", words(25)}};
        return e.dump();
      }
      case 1:
        return claudeAssistant(Json::array({{{"type", "thinking"}, {"thinking", words(60)}, {"signature", "Eu8B"}}}),
                               nullptr, timestamp)
            .dump();
      case 2:
        toolId_ = "toolu_01" + uuid();
        return claudeAssistant(Json::array({{{"type", "text"}, {"text", words(20)}},
                                            {{"type", "tool_use"},
                                             {"id", toolId_},
                                             {"name", "Bash"},
                                             {"input", {{"command", "make test"}}}}}),
                               "tool_use", timestamp)
            .dump();
      case 3: {
        std::string output;
        for (int i = 0; i < 30; ++i) output += "    " + std::to_string(i + 1) + "  " + words(8) + "\n";
        Json e = claudeBase("user", timestamp);
        e["message"] = {
            {"role", "user"},
            {"content", Json::array({{{"tool_use_id", toolId_}, {"type", "tool_result"}, {"content", output}}})}};
        e["toolUseResult"] = {{"stdout", output}, {"stderr", ""}, {"interrupted", false}};
        return e.dump();
      }
      default:
        return claudeAssistant(Json::array({{{"type", "text"}, {"text", words(90)}}}), "end_turn", timestamp).dump();
    }
  }
  void newSession() { session_ = uuid(); }

  // Cursor: entries with a "role" and text blocks.
  std::string cursorLine(bool user) {
    const auto text = user ? "<user_query>\n" + words(20) + "\n</user_query>" : words(80);
    return Json{{"role", user ? "user" : "assistant"},
                {"message", {{"content", Json::array({{{"type", "text"}, {"text", text}}})}}}}
        .dump();
  }

 private:
  std::mt19937_64 rng_{7};
  std::string session_;
  std::string toolId_;
};

struct Tree {
  fs::path growing;  // the newest Claude transcript
  std::uintmax_t bytes = 0;
  int files = 0;
};

void writeFile(const fs::path& file, const std::string& text, SystemClock::time_point modified, Tree& tree) {
  std::ofstream(file, std::ios::binary) << text;
  bench::setModified(file, modified);
  tree.bytes += text.size();
  ++tree.files;
}

// Transcripts written over the last 30 days; the first Claude one is the newest (an hour old).
Tree populate(const fs::path& home) {
  Lines lines;
  Tree tree;
  const auto now = SystemClock::now();
  std::mt19937 rng(3);
  const auto past = [&](int index) {
    return index == 0 ? now - 1h : now - 2h - std::chrono::seconds(rng() % (30 * 24 * 3600));
  };
  int index = 0;
  for (int p = 0; p < kClaudeProjects; ++p) {
    const auto folder = home / ".claude" / "projects" / ("-home-dev-src-project-" + std::to_string(p));
    fs::create_directories(folder);
    for (int f = 0; f < kClaudePerProject; ++f, ++index) {
      const auto modified = past(index);
      lines.newSession();
      std::string text;
      const int steps = 5 * (1 + index % 3);  // one to three whole turns
      for (int s = 0; s < steps; ++s)
        text += lines.claudeStep(s, testing::claudeTimestamp(modified - std::chrono::seconds(steps - s))) + "\n";
      const auto file = folder / (lines.uuid() + ".jsonl");
      writeFile(file, text, modified, tree);
      if (index == 0) tree.growing = file;
    }
  }
  for (int p = 0; p < kCursorProjects; ++p) {
    const auto folder = home / ".cursor" / "projects" / ("home-dev-src-project-" + std::to_string(p)) / "agent-transcripts";
    fs::create_directories(folder);
    for (int f = 0; f < kCursorPerProject; ++f) {
      std::string text;
      for (int s = 0; s < 2 + f % 4; ++s) text += lines.cursorLine(s % 2 == 0) + "\n";
      writeFile(folder / (lines.uuid() + ".jsonl"), text, now - 3h - std::chrono::seconds(rng() % (30 * 24 * 3600)),
                tree);
    }
  }
  return tree;
}

// Appends one line a second to `file` until stopped.
class Grower {
 public:
  explicit Grower(fs::path file) : file_(std::move(file)), thread_([this] { loop(); }) {}
  ~Grower() {
    stop_ = true;
    thread_.join();
  }
  int appended() const { return appended_; }

 private:
  void loop() {
    Lines lines;
    lines.newSession();
    auto next = std::chrono::steady_clock::now() + 1s;
    while (!stop_) {
      std::this_thread::sleep_until(next);
      next += 1s;
      std::ofstream(file_, std::ios::app | std::ios::binary) << lines.claudeStep(appended_, testing::claudeTimestampNow()) << "\n";
      ++appended_;
    }
  }

  fs::path file_;
  std::atomic<bool> stop_ = false;
  std::atomic<int> appended_ = 0;
  std::thread thread_;
};

struct Result {
  bool ok = false;
  double peakMiB = 0, finalMiB = 0, cpuSeconds = 0, systemSeconds = 0, startupCpuSeconds = 0, seconds = 0;
  std::string note;
};

std::size_t countOccurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

Result measure(int seconds, bool populated, bool growing) {
  Result result;
  testing::TempHome home;
  testing::seedOnboardedHome(home.paths());
  Tree tree;
  if (populated) {
    const auto started = std::chrono::steady_clock::now();
    tree = populate(home.path());
    std::printf("  wrote %d transcripts, %.1f MiB, in %.1f s\n", tree.files, static_cast<double>(tree.bytes) / (1 << 20),
                bench::millisBetween(started, std::chrono::steady_clock::now()) / 1000);
  }
  bench::HeadlessDeskwave desktop(home.path());
  if (!desktop.waitUntilReady(120s)) {
    std::fprintf(stderr, "deskwave --headless did not answer /health; its log ends:\n%s", desktop.logTail(30).c_str());
    return result;
  }
  const auto atStart = bench::readUsage(desktop.pid());
  if (!atStart) return result;
  result.startupCpuSeconds = atStart->cpuSeconds;

  std::unique_ptr<Grower> grower;
  if (growing) grower = std::make_unique<Grower>(tree.growing);
  const auto begin = std::chrono::steady_clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  std::optional<bench::ProcessUsage> last = atStart;
  while (std::chrono::steady_clock::now() < end && desktop.running()) {
    std::this_thread::sleep_for(250ms);
    if (auto usage = bench::readUsage(desktop.pid())) last = usage;
  }
  if (grower) result.note = std::to_string(grower->appended()) + " lines appended; ";
  grower.reset();
  if (!desktop.running()) {
    std::fprintf(stderr, "deskwave ended during the run; its log ends:\n%s", desktop.logTail(30).c_str());
    return result;
  }
  result.seconds = bench::millisBetween(begin, std::chrono::steady_clock::now()) / 1000;
  result.peakMiB = last->peakRssMiB;
  result.finalMiB = last->rssMiB;
  result.cpuSeconds = last->cpuSeconds - atStart->cpuSeconds;
  result.systemSeconds = last->systemSeconds - atStart->systemSeconds;
  const auto log = desktop.log();
  result.note += std::to_string(countOccurrences(log, "ClaudeMonitor: new reply")) + " replies and " +
                 std::to_string(countOccurrences(log, "ClaudeMonitor: new user prompt")) + " desk prompts mirrored";
  result.ok = true;
  return result;
}

// "n/a" when the floor measured nothing (a short run can use no whole CPU tick).
std::string ratio(double value, double floor) {
  if (floor <= 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value / floor);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
      return 2;
    }
  }
  if (!bench::inIsolatedSession()) {
    std::fprintf(stderr, "run it as: tests/system/run_isolated.sh %s\n", argv[0]);
    return 2;
  }

  std::printf("headless_footprint_bench: deskwave --headless, %d s per run (CPU ticks of %.0f ms)\n", seconds,
              bench::secondsPerTick() * 1000);
  const char* names[] = {"(a) empty home", "(b) 5,500 transcripts, idle", "(c) (b) + one line a second"};
  Result results[3];
  for (int run = 0; run < 3; ++run) {
    std::printf("%s\n", names[run]);
    std::fflush(stdout);
    results[run] = measure(seconds, run > 0, run == 2);
    if (!results[run].ok) return 1;
    std::printf("  %s\n", results[run].note.c_str());
  }

  std::printf("\n%-30s %10s %10s %8s %8s %10s %12s\n", "run", "peak MiB", "final MiB", "CPU s", "% core", "kernel s",
              "start-up s");
  for (int run = 0; run < 3; ++run) {
    const auto& r = results[run];
    std::printf("%-30s %10.1f %10.1f %8.2f %7.2f%% %10.2f %12.2f\n", names[run], r.peakMiB, r.finalMiB, r.cpuSeconds,
                100 * r.cpuSeconds / r.seconds, r.systemSeconds, r.startupCpuSeconds);
  }
  const auto& floor = results[0];
  for (int run = 1; run < 3; ++run) {
    const auto& r = results[run];
    std::printf("%s/(a): peak RSS %s, final RSS %s, CPU %s\n", run == 1 ? "(b)" : "(c)",
                ratio(r.peakMiB, floor.peakMiB).c_str(), ratio(r.finalMiB, floor.finalMiB).c_str(),
                ratio(r.cpuSeconds, floor.cpuSeconds).c_str());
  }
  return 0;
}
