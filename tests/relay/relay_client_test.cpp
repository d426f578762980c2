#include <gmock/gmock.h>

#include "platform/crypto.h"
#include "platform/virtual_time.h"
#include "relay/fake_websocket.h"
#include "relay/relay_wire.h"
#include "relay/websocket_relay_client.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using State = WebSocketRelayClient::State;

const SymmetricKey kKey = sha256("secret:Deskwave-key-v1");
const std::string kRoom = PairingManager::roomId("secret");

class RelayClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = WatcherDebugLog::create(home.paths().debugLogFile(), runtime.main, runtime.clock,
                                  [this](std::string_view line) { logged.push_back(messageOf(line)); });
    client = WebSocketRelayClient::create(runtime, transport, "ws://relay.test", log, {},
                                          [this](const std::string& line) { printed.push_back(line); });
    client->pendingProvider = [this] { return pending; };
    client->onAck = [this](const std::string& id) { acks.push_back(id); };
    client->onMessage = [this](const std::string& t, const std::string& x) { prompts.emplace_back(t, x); };
    client->onPeerJoined = [this] { ++peerJoins; };
  }

  static std::string messageOf(std::string_view line) {
    const auto end = line.find("] ", line.find("] ") + 2);
    return std::string(line.substr(end + 2));
  }

  // Starts and completes the join; returns the connection.
  std::shared_ptr<FakeWebSocketTask> connected() {
    client->start(kRoom, kKey);
    time->runUntilIdle();
    return transport->tasks.back();
  }

  std::string sealed(const std::string& plaintext) {
    return R"({"type":"message","data":")" + wire::seal(kKey, plaintext) + "\"}";
  }

  // The payloads the client sent as "message" envelopes, opened.
  std::vector<std::string> payloadsSent(const FakeWebSocketTask& task) {
    std::vector<std::string> out;
    for (const auto& text : task.sent) {
      auto msg = wire::decodeInbound(text);
      if (!msg || msg->type != "message") continue;
      out.push_back(std::get<std::string>(wire::open(kKey, *msg->data)));
    }
    return out;
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<FakeWebSocketClient> transport = std::make_shared<FakeWebSocketClient>();
  std::shared_ptr<WatcherDebugLog> log;
  std::shared_ptr<WebSocketRelayClient> client;
  std::vector<std::string> logged;
  std::vector<std::string> printed;
  std::vector<OutboxItem> pending;
  std::vector<std::string> acks;
  std::vector<std::pair<std::string, std::string>> prompts;
  int peerJoins = 0;
};

TEST_F(RelayClientTest, JoinsTheRoomAndReportsConnected) {
  auto task = connected();
  EXPECT_THAT(transport->urls, ElementsAre("ws://relay.test"));
  EXPECT_THAT(task->sent, ElementsAre(wire::encodeJoin(kRoom)));
  EXPECT_EQ(client->connectionState.get(), State::connected);
  EXPECT_THAT(logged, ElementsAre("RELAY: connecting to ws://relay.test, room=" + kRoom.substr(0, 8) + "\u2026",
                                  "RELAY: \u2705 connected + join sent"));
}

TEST_F(RelayClientTest, PeerCountDecidesPresenceAndAJoinedPhoneGetsEverything) {
  pending = {{"A", "cursor", "one", "assistant"}, {"B", "Claude", "two", "user"}};
  auto task = connected();
  task->sent.clear();
  ASSERT_TRUE(task->deliver(R"({"type":"joined","peers":1})"));
  time->runUntilIdle();
  EXPECT_FALSE(client->peerConnected.get());
  EXPECT_THAT(task->sent, IsEmpty());
  EXPECT_EQ(peerJoins, 0);

  ASSERT_TRUE(task->deliver(R"({"type":"joined","peers":2})"));
  time->runUntilIdle();
  EXPECT_TRUE(client->peerConnected.get());
  EXPECT_EQ(peerJoins, 1);
  EXPECT_THAT(payloadsSent(*task), ElementsAre(wire::encodeResponsePayload(pending[0]),
                                               wire::encodeResponsePayload(pending[1])));

  ASSERT_TRUE(task->deliver(R"({"type":"peer_left"})"));
  time->runUntilIdle();
  EXPECT_FALSE(client->peerConnected.get());
  ASSERT_TRUE(task->deliver(R"({"type":"peer_joined"})"));
  time->runUntilIdle();
  EXPECT_TRUE(client->peerConnected.get());
  EXPECT_EQ(peerJoins, 2);
}

TEST_F(RelayClientTest, ResendsUnacknowledgedItemsEveryThreeSeconds) {
  pending = {{"A", "c", "1", "assistant"}, {"B", "c", "2", "assistant"}, {"C", "c", "3", "assistant"}};
  auto task = connected();
  EXPECT_THAT(payloadsSent(*task), IsEmpty()) << "the resend right after the join still sees 'connecting'";
  time->advance(Seconds(3));
  EXPECT_EQ(payloadsSent(*task).size(), 3u);
  time->advance(Seconds(3));
  EXPECT_EQ(payloadsSent(*task).size(), 6u);

  ASSERT_TRUE(task->deliver(sealed(wire::encodeAckPayload("B"))));
  time->runUntilIdle();
  EXPECT_THAT(acks, ElementsAre("B"));
  EXPECT_TRUE(client->peerConnected.get()) << "an opened message marks the phone present";
  pending.erase(pending.begin() + 1);
  task->sent.clear();
  time->advance(Seconds(3));
  EXPECT_EQ(payloadsSent(*task).size(), 2u);
}

TEST_F(RelayClientTest, RoutesPromptsAndDropsWhatItCannotRead) {
  auto task = connected();
  ASSERT_TRUE(task->deliver(sealed(wire::encodePromptPayload("Codex", "fix the build"))));
  time->runUntilIdle();
  ASSERT_TRUE(task->deliver(sealed(wire::encodeResponsePayload({"X", "cursor", "echo", "assistant"}))));
  time->runUntilIdle();
  ASSERT_TRUE(task->deliver(R"({"type":"message","data":"QUJD\nREVG"})"));
  time->runUntilIdle();
  ASSERT_TRUE(task->deliver("not json"));
  time->runUntilIdle();
  ASSERT_TRUE(task->deliver(sealed(wire::encodePromptPayload("x", "binary")), true));
  time->runUntilIdle();
  ASSERT_TRUE(task->deliver(R"({"type":"something-new"})"));
  time->runUntilIdle();
  EXPECT_THAT(prompts, ElementsAre(std::pair<std::string, std::string>("Codex", "fix the build")));
  EXPECT_THAT(printed, ElementsAre("[RelayClient-Mac] Decrypt/parse error: badBase64",
                                   "[RelayClient-Mac] Decrypt/parse error: invalid envelope"));
  EXPECT_EQ(client->connectionState.get(), State::connected) << "bad frames keep the connection";
  EXPECT_TRUE(task->reader) << "still listening";
}

TEST_F(RelayClientTest, SendingWhileConnectingDoesNothing) {
  client->start(kRoom, kKey);
  auto task = transport->tasks.back();
  client->sendResponse({"A", "cursor", "x", "assistant"});
  client->sendTabs({"Cursor"});
  EXPECT_THAT(task->sent, ElementsAre(wire::encodeJoin(kRoom)));
  EXPECT_THAT(printed, IsEmpty());
  time->runUntilIdle();
  client->sendTabs({"Cursor"});
  EXPECT_THAT(payloadsSent(*task), ElementsAre(wire::encodeTabsPayload({"Cursor"})));
}

TEST_F(RelayClientTest, WatchdogReplacesASilentConnection) {
  auto first = connected();
  time->advance(Seconds(25));
  EXPECT_EQ(first->pings, 1) << "first ping 25 s after the join";
  time->advance(Seconds(15));  // 40 s of silence: not yet over the limit
  EXPECT_EQ(transport->tasks.size(), 1u);
  time->advance(Seconds(10));  // the tick at 50 s finds 50 s of silence
  ASSERT_EQ(transport->tasks.size(), 2u);
  EXPECT_EQ(first->closeCode, 1006);
  EXPECT_THAT(logged, ::testing::Contains("RELAY: watchdog forcing reconnect (idle 50s)"));
  time->runUntilIdle();
  EXPECT_EQ(client->connectionState.get(), State::connected);
}

TEST_F(RelayClientTest, PongsAndFramesKeepTheConnectionAlive) {
  auto task = connected();
  for (int i = 0; i < 4; ++i) {
    time->advance(Seconds(25));
    task->pong();
    time->runUntilIdle();
  }
  EXPECT_EQ(transport->tasks.size(), 1u) << "100 s with a pong every 25 s";
  task->pong(std::string("broken pipe"));  // no ping pending: ignored
  time->advance(Seconds(25));
  task->pong(std::string("broken pipe"));
  time->runUntilIdle();
  EXPECT_THAT(logged, ::testing::Contains("RELAY: ping failed (broken pipe) \u2014 reconnecting"));
  EXPECT_EQ(client->connectionState.get(), State::disconnected);
}

TEST_F(RelayClientTest, AReceiveErrorReconnectsTwoSecondsLater) {
  auto task = connected();
  ASSERT_TRUE(task->failReceive("connection reset"));
  time->runUntilIdle();
  EXPECT_EQ(client->connectionState.get(), State::disconnected);
  EXPECT_THAT(printed, ElementsAre("[RelayClient-Mac] Receive error: connection reset"));
  EXPECT_THAT(logged, ::testing::Contains("RELAY: \u26A0\uFE0F dropped \u2014 reconnecting in 2s"));
  time->advance(Seconds(1.9));
  EXPECT_EQ(transport->tasks.size(), 1u);
  time->advance(Seconds(0.1));
  ASSERT_EQ(transport->tasks.size(), 2u);
  time->runUntilIdle();
  EXPECT_EQ(client->connectionState.get(), State::connected);
}

TEST_F(RelayClientTest, AFailedJoinIsReportedAndRetried) {
  transport->nextFailure = "connection refused";
  client->start(kRoom, kKey);
  time->runUntilIdle();
  EXPECT_THAT(logged, ::testing::Contains("RELAY: \u274C join failed: connection refused"));
  EXPECT_THAT(printed, ElementsAre("[RelayClient-Mac] Join failed: connection refused"));
  transport->nextFailure.reset();
  time->advance(Seconds(2));
  ASSERT_EQ(transport->tasks.size(), 2u);
  time->runUntilIdle();
  EXPECT_EQ(client->connectionState.get(), State::connected);
}

TEST_F(RelayClientTest, StartingAgainKeepsTheConnectionUntilTheNextDrop) {
  auto task = connected();
  const auto otherRoom = PairingManager::roomId("other");
  client->start(otherRoom, sha256("other:Deskwave-key-v1"));
  time->runUntilIdle();
  EXPECT_EQ(transport->tasks.size(), 1u);
  ASSERT_TRUE(task->failReceive("gone"));
  time->advance(Seconds(2));
  ASSERT_EQ(transport->tasks.size(), 2u);
  EXPECT_THAT(transport->tasks[1]->sent, ElementsAre(wire::encodeJoin(otherRoom)));
}

TEST_F(RelayClientTest, ALateErrorFromAReplacedConnectionDoesNotDropTheNewOne) {
  auto first = connected();
  auto staleReader = first->reader;  // kept to deliver its failure after the replacement
  time->advance(Seconds(50));  // watchdog replaces the silent connection
  time->runUntilIdle();
  ASSERT_EQ(transport->tasks.size(), 2u);
  ASSERT_EQ(client->connectionState.get(), State::connected);
  staleReader(std::nullopt, "cancelled");  // the old connection's read fails afterwards
  time->runUntilIdle();
  EXPECT_EQ(client->connectionState.get(), State::connected);
  EXPECT_EQ(transport->tasks.size(), 2u);
}

TEST_F(RelayClientTest, AConnectionIsNotKeptAliveByItsOwnWaitingHandlers) {
  std::weak_ptr<FakeWebSocketTask> weakTask;
  {
    auto task = connected();
    weakTask = task;
    time->advance(Seconds(25));
    ASSERT_EQ(task->pings, 1);
    ASSERT_TRUE(task->reader && task->pongWaiter) << "a read and a ping are waiting";
    task->cancelNeverRuns = true;
  }
  client.reset();
  transport->tasks.clear();
  EXPECT_TRUE(weakTask.expired());
}

TEST_F(RelayClientTest, AClientThatWasNeverStartedStaysIdle) {
  client->sendResponse({"A", "c", "t", "assistant"});
  time->advance(Seconds(60));
  EXPECT_THAT(transport->tasks, IsEmpty());
  EXPECT_THAT(logged, IsEmpty());
}

}  // namespace
}  // namespace deskwave::testing
