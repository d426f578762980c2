// Runs the local server on 127.0.0.1 with a realistic state (100 replies waiting,
// one running turn with partial text) and prints its port; stops on SIGINT/SIGTERM.

#include <cstdio>
#include <string>

#include "delivery/response_outbox.h"
#include "local/local_server.h"
#include "platform/asio_runtime.h"

using namespace deskwave;

int main() {
  AsioRuntime asio(2);
  auto outbox = std::make_shared<ResponseOutbox>();
  for (int i = 0; i < 100; ++i)
    outbox->add("cursor", "Reply " + std::to_string(i) + ": " + std::string(400, 'x'), "assistant");

  LocalServer::Options options;
  options.port = 0;
  options.loopbackOnly = true;
  auto server = LocalServer::create(asio.runtime(), asio.pool(), nullptr, options, [](const std::string&) {});
  server->onMessage = [](const std::string&, const std::string&) {};
  server->tabsProvider = [] { return std::vector<std::string>{"Cursor", "Claude"}; };
  server->responsesProvider = [outbox] { return outbox->pending(); };
  server->ackHandler = [outbox](const std::vector<std::string>& ids) { outbox->ack(ids); };
  server->start();
  server->startTurn("Claude");
  server->updatePartial("Claude", std::string(600, 'p'));
  if (!server->port()) return 1;
  std::printf("%u\n", *server->port());
  std::fflush(stdout);
  asio.stopOnSignals();
  asio.runMainLoop();
  return 0;
}
