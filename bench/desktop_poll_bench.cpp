// One poll of the window reader through the real Linux backend (AT-SPI) on the
// fixture chat window with a transcript of 10 and of 300 earlier messages, and
// the single accessibility reads it is made of. Run inside the private
// headless desktop:
//   tests/desktop/run_in_session.sh build/bench/desktop_poll_bench

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "capture/ax_response_reader.h"
#include "desktop/fixture_app.h"
#include "platform/linux/linux_desktop.h"

namespace {

using namespace deskwave;
using namespace deskwave::testing;

struct Session {
  explicit Session(int earlierMessages)
      : fixture({"FIXTURE_EARLIER_MESSAGES=" + std::to_string(earlierMessages)}),
        desktop(openLinuxDesktop([](const std::string&) {})) {
    waitUntil([&] { return desktop->applicationElement(fixture.pid()) != nullptr; }, std::chrono::seconds(10));
  }
  FixtureApp fixture;
  std::shared_ptr<Desktop> desktop;
};

void BM_ReaderPoll(benchmark::State& state) {
  if (!inTestSession()) return state.SkipWithError("run under tests/desktop/run_in_session.sh");
  Session session(static_cast<int>(state.range(0)));
  AXResponseReader reader(session.desktop, session.fixture.pid(), "Earlier message 3");
  for (auto _ : state) benchmark::DoNotOptimize(reader.pollStableReply());
  if (reader.lastReply().empty()) state.SkipWithError(("no reply read: " + reader.lastStatus()).c_str());
}
BENCHMARK(BM_ReaderPoll)->Arg(10)->Arg(300)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SingleRoleRead(benchmark::State& state) {
  if (!inTestSession()) return state.SkipWithError("run under tests/desktop/run_in_session.sh");
  Session session(0);
  const auto app = session.desktop->applicationElement(session.fixture.pid());
  const auto windows = session.desktop->elementsAttribute(app, ax::kWindows);
  if (windows.empty()) return state.SkipWithError("no window");
  for (auto _ : state) benchmark::DoNotOptimize(session.desktop->stringAttribute(windows[0], ax::kRole));
}
BENCHMARK(BM_SingleRoleRead)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
