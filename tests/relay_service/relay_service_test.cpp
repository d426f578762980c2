#include "relay_service.h"

#include <gmock/gmock.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/asio_runtime.h"
#include "relay/test_peer.h"
#include "support/raw_http.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;
using relay::Classifier;
using relay::Limits;
using relay::RelayService;

// The relay on an ephemeral loopback port, on its own thread.
class RelayServiceTest : public ::testing::Test {
 protected:
  void startRelay(Limits limits = {}) {
    service = std::make_unique<RelayService>(io, "127.0.0.1", 0, limits, Classifier::builtIn(),
                                             [this](const std::string& line) {
                                               std::lock_guard lock(logMutex);
                                               logLines.push_back(line);
                                             });
    url = "ws://127.0.0.1:" + std::to_string(service->port());
    thread = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    if (thread.joinable()) {
      boost::asio::post(io, [this] {
        service.reset();
        io.stop();
      });
      thread.join();
    }
  }
  std::unique_ptr<TestPeer> member(const std::string& room) {
    auto peer = std::make_unique<TestPeer>(*client, url);
    EXPECT_TRUE(peer->send(R"({"type":"join","roomId":")" + room + "\"}"));
    return peer;
  }
  bool logged(const std::string& part) {
    std::lock_guard lock(logMutex);
    return std::any_of(logLines.begin(), logLines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }

  boost::asio::io_context io;
  std::unique_ptr<RelayService> service;
  std::thread thread;
  std::string url;
  AsioRuntime clientRuntime{1};
  std::shared_ptr<WebSocketClient> client = makeBeastWebSocketClient(clientRuntime.pool());
  std::mutex logMutex;
  std::vector<std::string> logLines;
};

TEST_F(RelayServiceTest, MembersOfARoomSeeEachOtherAndForwardMessagesUnchanged) {
  startRelay();
  auto desktop = member("room-a");
  EXPECT_EQ(Json::parse(*desktop->next()), (Json{{"type", "joined"}, {"peers", 1}}));
  auto phone = member("room-a");
  EXPECT_EQ(Json::parse(*phone->next()), (Json{{"type", "joined"}, {"peers", 2}}));
  EXPECT_EQ(*desktop->next(), R"({"type":"peer_joined"})");
  auto stranger = member("room-b");
  stranger->next();

  const std::string message = R"({"type":"message","data":"c2VhbGVk", "extra" : 1})";
  ASSERT_TRUE(phone->send(message));
  EXPECT_EQ(desktop->next(), message) << "forwarded byte for byte";
  EXPECT_FALSE(phone->next(0.2)) << "not echoed to the sender";
  EXPECT_FALSE(stranger->next(0.2)) << "not leaked to another room";

  phone.reset();
  EXPECT_EQ(*desktop->next(), R"({"type":"peer_left"})");
}

TEST_F(RelayServiceTest, GarbageIsDroppedAndTheConnectionStays) {
  startRelay();
  auto a = member("r");
  a->next();
  auto b = member("r");
  b->next();
  a->next();
  for (const std::string junk : {"not json", "[1,2]", R"({"type":5})", R"({"type":"join"})", R"({"type":"dance"})"})
    ASSERT_TRUE(b->send(junk));
  ASSERT_TRUE(b->send(R"({"type":"message","data":"x"})"));
  EXPECT_EQ(a->next(), R"({"type":"message","data":"x"})");
  EXPECT_TRUE(logged("malformed frame dropped"));
}

TEST_F(RelayServiceTest, AnOversizedFrameEndsOnlyThatConnection) {
  Limits limits;
  limits.maxFrameBytes = 64 * 1024;
  startRelay(limits);
  auto a = member("r");
  a->next();
  auto b = member("r");
  b->next();
  a->next();
  b->send(R"({"type":"message","data":")" + std::string(100 * 1024, 'A') + "\"}");
  EXPECT_TRUE(b->endedWithin(5));
  EXPECT_EQ(a->next(), R"({"type":"peer_left"})");
  auto c = member("r");
  EXPECT_EQ(Json::parse(*c->next())["peers"], 2) << "the room still works";
}

TEST_F(RelayServiceTest, ARoomHoldsAtMostItsLimit) {
  Limits limits;
  limits.maxMembersPerRoom = 8;
  startRelay(limits);
  std::vector<std::unique_ptr<TestPeer>> members;
  for (int i = 0; i < 8; ++i) {
    members.push_back(member("full"));
    ASSERT_EQ(Json::parse(*members.back()->next())["peers"], i + 1);
  }
  auto ninth = member("full");
  EXPECT_EQ(Json::parse(*ninth->next()), (Json{{"type", "error"}, {"error", "room full"}}));
  EXPECT_TRUE(ninth->endedWithin(5));
}

TEST_F(RelayServiceTest, AClientThatNeverJoinsIsClosed) {
  Limits limits;
  limits.joinTimeoutSeconds = 0.2;
  startRelay(limits);
  TestPeer idle(*client, url);
  EXPECT_TRUE(idle.endedWithin(5));
  EXPECT_TRUE(logged("did not join in time"));
}

TEST_F(RelayServiceTest, RateLimitDropsFloodsButKeepsTheConnection) {
  Limits limits;
  limits.messageBurst = 5;
  limits.messagesPerSecond = 1;
  startRelay(limits);
  auto a = member("r");
  a->next();
  auto b = member("r");
  b->next();
  a->next();
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(b->send(R"({"type":"message","data":")" + std::to_string(i) + "\"}"));
  int received = 0;
  while (a->next(0.3)) ++received;
  EXPECT_GE(received, 3);
  EXPECT_LT(received, 10);
  EXPECT_FALSE(b->endedWithin(0.1));
  EXPECT_TRUE(logged("over its message rate"));
}

TEST_F(RelayServiceTest, ScanClassifiesNames) {
  startRelay();
  const auto body = R"({"names":["Cursor","Calculator","GitHub Copilot Chat","cursor","Zed"]})";
  auto r = parseResponse(exchange(service->port(), post("/scan", body)));
  EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(Json::parse(r.body), (Json{{"tools", {"Cursor", "GitHub Copilot Chat", "cursor", "Zed"}}}));
  EXPECT_EQ(parseResponse(exchange(service->port(), post("/scan", R"({"names":"x"})"))).statusLine,
            "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(parseResponse(exchange(service->port(), get("/nothing"))).statusLine, "HTTP/1.1 404 Not Found");
}

TEST(ClassifierTest, ListsArePatternsWithoutLetterCase) {
  std::istringstream list("# comment\n\n  Cursor  \nJetBrains*\nCo?ex\n");
  const auto c = Classifier::fromStream(list);
  EXPECT_EQ(c.size(), 3u);
  EXPECT_TRUE(c.isAiTool("CURSOR"));
  EXPECT_TRUE(c.isAiTool("JetBrains AI Assistant"));
  EXPECT_TRUE(c.isAiTool("codex"));
  EXPECT_FALSE(c.isAiTool("Cursors"));
  EXPECT_FALSE(c.isAiTool("Codecs"));
  EXPECT_FALSE(c.isAiTool("# comment"));
}

}  // namespace
}  // namespace deskwave::testing
