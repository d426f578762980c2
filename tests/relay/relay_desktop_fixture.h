#pragma once

// A real deskwave-relay process on loopback (DESKWAVE_RELAY_BINARY) with the
// desktop's real relay client in a room of it, an outbox behind the client and
// the prompts it received: the desktop side for tests of phone-side peers.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

#include "capture/watcher_debug_log.h"
#include "delivery/response_outbox.h"
#include "platform/asio_runtime.h"
#include "platform/crypto.h"
#include "relay/websocket_relay_client.h"
#include "support/child_process.h"
#include "support/temp_home.h"

namespace deskwave::testing {

class RelayDesktopFixture : public ::testing::Test {
 protected:
  static constexpr const char* kSecret = "3f1c0de2-5b7a-4c1e-9d3b-8a6f2e4d1c00";

  // A deskwave-relay child process on `port` (0: any free one).
  static std::unique_ptr<ListeningProcess> startRelay(std::uint16_t port = 0) {
    return std::make_unique<ListeningProcess>(
        std::vector<std::string>{DESKWAVE_RELAY_BINARY, "--listen", "127.0.0.1:" + std::to_string(port)});
  }

  void SetUp() override {
    relay = startRelay();
    ASSERT_NE(relay->port(), 0) << "deskwave-relay did not start";
    url = "ws://127.0.0.1:" + std::to_string(relay->port());
    loop = std::thread([this] { asio.runMainLoop(); });
    const auto& rt = asio.runtime();
    log = WatcherDebugLog::create(home.paths().debugLogFile(), rt.main, rt.clock, [](std::string_view) {});
    RelayTiming fast{1.0, 4.0, 0.5, 0.3, 0.3};
    desktop = WebSocketRelayClient::create(rt, makeBeastWebSocketClient(asio.pool()), url, log, fast,
                                           [](const std::string&) {});
    desktop->pendingProvider = [this] { return outbox.pending(); };
    desktop->onAck = [this](const std::string& id) { outbox.ack({id}); };
    desktop->onMessage = [this](const std::string& target, const std::string& text) {
      std::lock_guard lock(mutex);
      prompts.emplace_back(target, text);
    };
    onMain([this] { desktop->start(room, key); });
  }

  void TearDown() override {
    onMain([this] { desktop.reset(); });
    asio.stop();
    loop.join();
  }

  // Runs `work` on the desktop's main thread and waits for it.
  template <class F>
  std::invoke_result_t<F> onMain(F work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    asio.runtime().main->post([&task] { task(); });
    return result.get();
  }

  template <class F>
  bool eventually(F condition, double seconds = 15) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool desktopConnected() {
    return onMain([this] { return desktop->connectionState.get() == WebSocketRelayClient::State::connected; });
  }

  std::vector<std::pair<std::string, std::string>> receivedPrompts() {
    std::lock_guard lock(mutex);
    return prompts;
  }

  TempHome home;
  std::unique_ptr<ListeningProcess> relay;
  std::string url;
  const std::string room = PairingManager::roomId(kSecret);
  const SymmetricKey key = sha256(std::string(kSecret) + ":Deskwave-key-v1");
  AsioRuntime asio{2};
  std::thread loop;
  std::shared_ptr<WatcherDebugLog> log;
  std::shared_ptr<WebSocketRelayClient> desktop;
  ResponseOutbox outbox;
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> prompts;
};

}  // namespace deskwave::testing
