// Feeds arbitrary bytes, split into reads at arbitrary points, to the request
// framing and the endpoint layer of the local server.

#include <cstddef>
#include <cstdint>
#include <string>

#include "local/http_framing.h"
#include "local/local_server.h"
#include "platform/asio_runtime.h"
#include "platform/virtual_time.h"

using namespace deskwave;

namespace {

struct Harness {
  Harness() {
    server = LocalServer::create(time->runtime(), io.pool(), nullptr, {}, [](const std::string&) {});
    server->onMessage = [](const std::string&, const std::string&) {};
    server->onAttach = [](const std::string&, const std::string&, const std::vector<AttachedImage>&) {};
    server->onPermAnswer = [](const std::string&) {};
    server->onPermRequest = [](const std::string&, const std::string&) {};
    server->tabsProvider = [] { return std::vector<std::string>{"Cursor"}; };
    server->responsesProvider = [] { return std::vector<OutboxItem>{{"ID", "cursor", "text", "assistant"}}; };
    server->ackHandler = [](const std::vector<std::string>&) {};
  }
  AsioRuntime io{1};
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<LocalServer> server;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  if (size == 0) return 0;
  // The first byte chooses the read size, so splits vary with the input.
  const std::size_t chunk = 1 + data[0] % 64;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string buffer;
  std::size_t offset = 0;
  for (;;) {
    const auto n = std::min(chunk, input.size() - offset);
    buffer.append(input, offset, n);
    offset += n;
    const bool peerDone = offset >= input.size();
    const auto frame = frameRequest(buffer, peerDone);
    if (frame.status == FrameStatus::ready) {
      const auto response = harness.server->handle(frame.request);
      if (response.status.empty() || serializeResponse(response).empty()) __builtin_trap();
      break;
    }
    if (frame.status != FrameStatus::needMore) break;
    if (peerDone) __builtin_trap();  // a finished peer must never be asked for more
  }
  // Run what the requests scheduled (hooks, late permission checks) and keep state small.
  harness.time->advance(Seconds(2));
  harness.server->permissions().clearAll();
  return 0;
}
