// The time Deskwave adds to the generic paste path on top of its fixed delays.
//
// A real `deskwave --headless` (signed in, the fixture chat as its tool) and
// the fixture chat window run in a private headless desktop. For each prompt
// the bench posts {"target":"fixture","text":…} to the local link and times
// from just before the request to the moment the fixture prints its
// "PROMPT …" line, which it does when the Return key reaches its composer. The
// paste path schedules 0.6 s (to the composer's focus) + 0.15 s (to select-all
// and paste) + 0.35 s (to Return) = 1.1 s; the rest is what Deskwave, the X
// server, the window's toolkit and the pipe that carries the fixture's line
// add: request handling, the hops to the main thread, the application lookup,
// the accessibility search for the composer, the clipboard hand-over and the
// synthesized keys, and the timers' own lateness.
//
// Prompts run one at a time: after each, the bench waits until the fixture's
// reply has been captured and collected from "/responses" (the prompt's watcher
// then stops), so that no watcher poll, which reads the window over the
// accessibility bus, overlaps the next prompt's timeline.
//
// Run: tests/system/run_isolated.sh build/bench/paste_delay_bench [--prompts N]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "desktop/fixture_app.h"
#include "support/onboarded_home.h"
#include "support/raw_http.h"
#include "support/temp_home.h"
#include "system_bench_support.h"

namespace {

using namespace deskwave;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr double kScheduledMs = 1100.0;  // 0.6 s + 0.15 s + 0.35 s

// Collects the fixture's reply from the outbox and acknowledges it; false when
// none came within `timeout`.
bool collectReply(std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const auto body = testing::parseResponse(testing::exchange(8765, testing::get("/responses"))).body;
    const auto list = Json::parse(body, nullptr, false);
    auto ids = Json::array();
    if (list.is_array())
      for (const auto& item : list)
        if (item.is_object() && item.value("target", "") == "fixture") ids.push_back(item.value("id", ""));
    if (!ids.empty()) {
      testing::exchange(8765, testing::post("/ack", Json{{"ids", ids}}.dump()));
      return true;
    }
    std::this_thread::sleep_for(250ms);
  }
  return false;
}

int run(int prompts) {
  testing::TempHome home;
  testing::seedOnboardedHome(home.paths());
  testing::FixtureApp fixture;
  if (fixture.pid() == 0) {
    std::fprintf(stderr, "the fixture chat window did not start\n");
    return 1;
  }
  bench::HeadlessDeskwave desktop(home.path());
  if (!desktop.waitUntilReady(120s)) {
    std::fprintf(stderr, "deskwave --headless did not answer /health; its log ends:\n%s", desktop.logTail(30).c_str());
    return 1;
  }

  std::printf("paste_delay_bench: generic paste path into the fixture chat, %d prompts one at a time\n", prompts);
  std::printf("%6s %10s %10s\n", "prompt", "total ms", "added ms");
  std::vector<double> totals, added;
  for (int i = 0; i < prompts; ++i) {
    const std::string text = "Prompt " + std::to_string(i + 1) + ": the parser rejects an empty input file, please fix it";
    const auto from = fixture.lines().size();
    const auto request = testing::post("/", Json{{"target", "fixture"}, {"text", text}}.dump());
    const auto start = Clock::now();
    const auto answer = testing::exchange(8765, request);
    const auto line = fixture.waitForLine("PROMPT", 15s, from);
    const auto end = Clock::now();
    if (answer.rfind("HTTP/1.1 200", 0) != 0 || !line) {
      std::fprintf(stderr, "prompt %d was not typed (answer: %.40s); the log ends:\n%s", i + 1, answer.c_str(),
                   desktop.logTail(30).c_str());
      return 1;
    }
    if (Json::parse(line->substr(std::strlen("PROMPT ")), nullptr, false) != text) {
      std::fprintf(stderr, "prompt %d arrived altered: %s\n", i + 1, line->c_str());
      return 1;
    }
    const double total = bench::millisBetween(start, end);
    totals.push_back(total);
    added.push_back(total - kScheduledMs);
    std::printf("%6d %10.1f %10.1f\n", i + 1, total, total - kScheduledMs);
    std::fflush(stdout);
    if (!collectReply(40s)) {
      std::fprintf(stderr, "the reply to prompt %d was not captured; the log ends:\n%s", i + 1,
                   desktop.logTail(30).c_str());
      return 1;
    }
    std::this_thread::sleep_for(500ms);
  }

  const auto [minAdded, maxAdded] = std::minmax_element(added.begin(), added.end());
  const double medianTotal = bench::median(totals);
  std::printf("\nadded delay over the scheduled %.0f ms: min %.1f ms, median %.1f ms, max %.1f ms\n", kScheduledMs,
              *minAdded, bench::median(added), *maxAdded);
  std::printf("total / floor (%.1f s): min %.3f, median %.3f, max %.3f\n", kScheduledMs / 1000,
              (*minAdded + kScheduledMs) / kScheduledMs, medianTotal / kScheduledMs,
              (*maxAdded + kScheduledMs) / kScheduledMs);
  std::printf("(the figures include the fixture's \"PROMPT\" line travelling through a pipe to this process)\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int prompts = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--prompts") == 0 && i + 1 < argc) prompts = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--prompts N]\n", argv[0]);
      return 2;
    }
  }
  if (!bench::inIsolatedSession()) {
    std::fprintf(stderr, "run it as: tests/system/run_isolated.sh %s\n", argv[0]);
    return 2;
  }
  return run(prompts);
}
