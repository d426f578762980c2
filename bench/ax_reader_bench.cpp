// One poll of the window reader on a chat window of a long conversation: a
// tree of about 8,000 elements (the most a poll visits), each message a group
// of rows of text; beside it the extraction alone on the items that walk
// yields, and the walk alone. The fake desktop answers from memory, so these
// are the reader's own costs; a real desktop adds its inter-process calls.

#include <benchmark/benchmark.h>

#include "capture/ax_reply_extraction.h"
#include "capture/ax_response_reader.h"
#include "platform/virtual_time.h"
#include "support/fake_chat_app.h"

namespace {

using namespace deskwave;
using namespace deskwave::testing;

// A chat window with `messages` messages of `rows` lines each, the prompt last
// but one and the reply below it.
struct Scene {
  explicit Scene(int messages, int rows) {
    chat = addChatApp(*desktop, {"Chat", "chat.desktop", "/usr/bin/chat", 42});
    double y = 60;
    for (int m = 0; m < messages; ++m) {
      auto message = element(ax::kGroup, "message");
      for (int r = 0; r < rows; ++r) {
        auto line = staticText("Line " + std::to_string(r) + " of message " + std::to_string(m) +
                                   ": the parser returns an error when the input is empty",
                               120, y);
        y += 20;
        message->add(line);
      }
      chat->conversation->add(message);
    }
    chat->conversation->add(staticText(prompt, 120, y + 20));
    chat->conversation->add(staticText("The fix is to check for an empty buffer first.", 120, y + 40));
    chat->composer->position = ScreenPoint{100, y + 200};
  }

  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>(time->clock());
  std::shared_ptr<FakeChatApp> chat;
  std::string prompt = "why does the parser fail on empty input?";
};

void BM_PollFullTree(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), 9);
  AXResponseReader reader(scene.desktop, 42, scene.prompt);
  for (auto _ : state) benchmark::DoNotOptimize(reader.pollStableReply());
  if (reader.lastReply().empty()) state.SkipWithError("the reply was not found");
}
BENCHMARK(BM_PollFullTree)->Arg(80)->Arg(795)->Unit(benchmark::kMillisecond);

void BM_CollectItemsOnly(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), 9);
  const auto app = scene.desktop->applicationElement(42);
  for (auto _ : state) benchmark::DoNotOptimize(ax_reply::collectItems(*scene.desktop, app));
}
BENCHMARK(BM_CollectItemsOnly)->Arg(795)->Unit(benchmark::kMillisecond);

void BM_ExtractReplyOnly(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), 9);
  const auto items = ax_reply::collectItems(*scene.desktop, scene.desktop->applicationElement(42));
  for (auto _ : state) benchmark::DoNotOptimize(ax_reply::extractReply(items, scene.prompt));
  state.counters["items"] = static_cast<double>(items.size());
}
BENCHMARK(BM_ExtractReplyOnly)->Arg(795)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
