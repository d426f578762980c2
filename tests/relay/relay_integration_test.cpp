// The desktop's relay client and a phone-side peer meeting in a room of a real
// deskwave-relay process on loopback, including the relay dying and coming back.

#include <gmock/gmock.h>

#include <future>
#include <nlohmann/json.hpp>
#include <set>

#include "relay/relay_desktop_fixture.h"
#include "relay/relay_wire.h"
#include "relay/test_peer.h"

namespace deskwave::testing {
namespace {

using State = WebSocketRelayClient::State;

class RelayIntegrationTest : public RelayDesktopFixture {
 protected:
  std::unique_ptr<TestPeer> phoneJoins() {
    auto phone = std::make_unique<TestPeer>(*phoneClient, url);
    EXPECT_TRUE(phone->send(wire::encodeJoin(room)));
    return phone;
  }

  // Reads the phone's frames for `seconds`, acknowledging the replies whose id
  // `shouldAck` accepts; returns the reply ids seen (with repeats).
  std::vector<std::string> phoneReads(TestPeer& phone, double seconds,
                                      const std::function<bool(const std::string&)>& shouldAck) {
    std::vector<std::string> ids;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      auto frame = phone.next(0.05);
      if (!frame) continue;
      auto msg = wire::decodeInbound(*frame);
      if (!msg || msg->type != "message" || !msg->data) continue;
      auto opened = wire::open(key, *msg->data);
      if (!std::holds_alternative<std::string>(opened)) continue;
      const auto j = nlohmann::json::parse(std::get<std::string>(opened), nullptr, false);
      if (!j.contains("id")) continue;
      const std::string id = j["id"];
      ids.push_back(id);
      if (shouldAck(id)) phone.send(wire::encodeOutbound(wire::seal(key, wire::encodeAckPayload(id))));
    }
    return ids;
  }

  AsioRuntime phoneRuntime{1};
  std::shared_ptr<WebSocketClient> phoneClient = makeBeastWebSocketClient(phoneRuntime.pool());
};

TEST_F(RelayIntegrationTest, PromptsArriveAndRepliesAreResentUntilAcknowledged) {
  ASSERT_TRUE(eventually([&] { return desktopConnected(); }));
  auto phone = phoneJoins();
  ASSERT_TRUE(eventually([&] { return onMain([&] { return desktop->peerConnected.get(); }); }));

  phone->send(wire::encodeOutbound(wire::seal(key, wire::encodePromptPayload("cursor", "explain main.cpp"))));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return !prompts.empty();
  }));
  EXPECT_EQ(prompts[0], (std::pair<std::string, std::string>("cursor", "explain main.cpp")));

  const auto a = outbox.add("cursor", "reply A", "assistant");
  const auto b = outbox.add("cursor", "reply B", "assistant");
  // The phone acknowledges only A; B keeps coming back.
  auto seen = phoneReads(*phone, 1.5, [&](const std::string& id) { return id == a.id; });
  EXPECT_GE(std::count(seen.begin(), seen.end(), b.id), 2);
  EXPECT_TRUE(eventually([&] { return outbox.pending().size() == 1; }));
  seen = phoneReads(*phone, 1.0, [](const std::string&) { return false; });
  EXPECT_EQ(std::count(seen.begin(), seen.end(), a.id), 0) << "an acknowledged reply is not resent";
  EXPECT_GE(std::count(seen.begin(), seen.end(), b.id), 2);
}

TEST_F(RelayIntegrationTest, RepliesSurviveTheRelayDyingAndComingBack) {
  ASSERT_TRUE(eventually([&] { return desktopConnected(); }));
  const std::set<std::string> expected = {outbox.add("cursor", "one", "assistant").id,
                                          outbox.add("codex", "two", "assistant").id,
                                          outbox.add("Claude", "three", "user").id};
  const auto port = relay->port();
  relay->stop(SIGKILL);
  ASSERT_TRUE(eventually([&] { return !desktopConnected(); })) << "the drop is noticed";
  relay = startRelay(port);
  ASSERT_EQ(relay->port(), port);
  ASSERT_TRUE(eventually([&] { return desktopConnected(); })) << "the client reconnects by itself";

  auto phone = phoneJoins();
  std::set<std::string> received;
  eventually([&] {
    for (const auto& id : phoneReads(*phone, 0.3, [](const std::string&) { return true; })) received.insert(id);
    return received == expected && outbox.pending().empty();
  });
  EXPECT_EQ(received, expected) << "every reply arrives, once after de-duplication by id";
  EXPECT_TRUE(outbox.pending().empty());
}

}  // namespace
}  // namespace deskwave::testing
