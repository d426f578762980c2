// deskwave-phone's links and commands against the desktop's real local server
// and, through a real deskwave-relay process, the desktop's real relay client.

#include <gmock/gmock.h>

#include <fstream>
#include <future>
#include <sstream>

#include "cli/cli_process.h"
#include "delivery/outbox_item.h"
#include "delivery/response_outbox.h"
#include "local/local_server.h"
#include "phone_commands.h"
#include "phone_error.h"
#include "platform/asio_runtime.h"
#include "platform/base64.h"
#include "platform/curl_http_client.h"
#include "relay/relay_desktop_fixture.h"
#include "support/child_process.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using namespace deskwave::phone;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Json = nlohmann::json;

TEST(LocalAddressTest, ParsesHostAndPortForms) {
  struct Case {
    std::string text;
    std::optional<std::pair<std::string, std::uint16_t>> expected;
  };
  const std::vector<Case> cases = {
      {"192.168.1.20", {{"192.168.1.20", 8765}}},
      {"desk.local:9000", {{"desk.local", 9000}}},
      {"[fe80::1]:8765", {{"fe80::1", 8765}}},
      {"[::1]", {{"::1", 8765}}},
      {"fe80::1", {{"fe80::1", 8765}}},
      {"host:0", std::nullopt},
      {"host:65536", std::nullopt},
      {"host:80x", std::nullopt},
      {":8765", std::nullopt},
      {"[::1]x", std::nullopt},
      {"http://host", std::nullopt},
  };
  for (const auto& c : cases) {
    auto parsed = parseLocalAddress(c.text);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.expected->first) << c.text;
    EXPECT_EQ(parsed->port, c.expected->second) << c.text;
  }
  EXPECT_EQ(parseLocalAddress("[::1]:80")->url(), "http://[::1]:80");
  EXPECT_EQ(parseLocalAddress("[fe80::1%eth0]:80")->url(), "http://[fe80::1%25eth0]:80");
}

// The desktop's local server on an ephemeral loopback port, with recording hooks.
class PhoneLocalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop = std::thread([this] { asio.runMainLoop(); });
    server = LocalServer::create(asio.runtime(), asio.pool(), nullptr, {0, true, 30.0, 256}, [](const std::string&) {});
    server->onMessage = [this](const std::string& target, const std::string& text) {
      record("message " + target + " " + text);
    };
    server->onAttach = [this](const std::string& target, const std::string& text,
                              const std::vector<AttachedImage>& images) {
      std::string line = "attach " + target + " " + text;
      for (const auto& image : images) line += " " + image.name + "=" + image.base64;
      record(line);
    };
    server->responsesProvider = [this] { return outbox.pending(); };
    server->ackHandler = [this](const std::vector<std::string>& ids) {
      outbox.ack(ids);
      record("ack " + std::to_string(ids.size()));
    };
    server->start();
    ASSERT_TRUE(server->port());
    link = makeLocalPhoneLink(LocalLink(makeCurlHttpClient(), phoneRuntime.runtime().background,
                                        {"127.0.0.1", *server->port()}));
  }
  void TearDown() override {
    server.reset();
    asio.stop();
    loop.join();
  }

  void record(const std::string& line) {
    std::lock_guard lock(mutex);
    events.push_back(line);
  }
  // The recorded events once `count` have arrived (hooks run on the main loop).
  std::vector<std::string> eventsWhen(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex);
        if (events.size() >= count) return events;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(mutex);
    return events;
  }

  AsioRuntime asio{2};
  std::thread loop;
  std::shared_ptr<LocalServer> server;
  ResponseOutbox outbox;
  std::mutex mutex;
  std::vector<std::string> events;
  AsioRuntime phoneRuntime{1};
  std::unique_ptr<PhoneLink> link;
  std::ostringstream out;
};

TEST_F(PhoneLocalTest, SendsPromptsAndImages) {
  TempHome home;
  const auto image = home.path() / "shot.png";
  std::ofstream(image, std::ios::binary) << std::string("\x89PNG\r\n\0x", 8);

  EXPECT_EQ(sendCommand(*link, {out}, "Cursor", "explain main.cpp", {}), kDone);
  EXPECT_EQ(sendCommand(*link, {out, true}, "Claude", "what is this?", {image.string()}), kDone);
  EXPECT_THAT(eventsWhen(2), ElementsAre("message Cursor explain main.cpp",
                                         "attach Claude what is this? shot.png=" + base64Encode(std::string("\x89PNG\r\n\0x", 8))));
  EXPECT_THAT(out.str(), HasSubstr("Sent to Cursor.\n"));
  EXPECT_THAT(out.str(), HasSubstr(R"({"status":"ok","target":"Claude"})"));

  EXPECT_THROW(sendCommand(*link, {out}, "Claude", "x", {(home.path() / "missing.png").string()}), PhoneError);
}

TEST_F(PhoneLocalTest, WatchPrintsEachReplyOnceAndAcknowledgesIt) {
  const auto first = outbox.add("cursor", "first reply", "assistant");
  const auto second = outbox.add("Claude", "typed at the desk", "user");
  EXPECT_EQ(watchCommand(*link, {out, true}, {2, 10.0, nullptr}), kDone);
  std::vector<Json> printed;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) printed.push_back(Json::parse(line));
  ASSERT_EQ(printed.size(), 2u);
  EXPECT_EQ(printed[0], Json({{"id", first.id}, {"target", "cursor"}, {"text", "first reply"}, {"role", "assistant"}}));
  EXPECT_EQ(printed[1]["role"], "user");
  EXPECT_TRUE(outbox.pending().empty()) << "the replies leave the outbox once acknowledged";

  // Too few replies before the time-out is a failure, not a success.
  out.str("");
  try {
    watchCommand(*link, {out}, {1, 1.0, nullptr});
    ADD_FAILURE() << "no reply arrived, yet the watch succeeded";
  } catch (const PhoneError& e) {
    EXPECT_THAT(e.what(), HasSubstr("0 of 1 replies"));
  }
  EXPECT_EQ(out.str(), "");
}

TEST_F(PhoneLocalTest, ReadsStatusAndAnswersPermissionRequests) {
  server->permissions().file(PermissionEntry{"Q1", "AskUserQuestion", "Which database?", "Claude",
                                             std::chrono::system_clock::now(),
                                             {{{"label", "SQLite"}, {"desc", "a file"}}}});
  server->startTurn("fixture");
  server->updatePartial("fixture", "The answer is");

  EXPECT_EQ(permsCommand(*link, {out}), kDone);
  EXPECT_THAT(out.str(), HasSubstr("Q1  Claude  AskUserQuestion: Which database?\n    - SQLite: a file\n"));
  out.str("");
  EXPECT_EQ(statusCommand(*link, {out, true}), kDone);
  const auto status = Json::parse(out.str());
  EXPECT_EQ(status["fixture"]["partial"], "The answer is");

  EXPECT_EQ(answerCommand(*link, {out}, "Q1", "SQLite"), kDone);
  EXPECT_EQ(server->permissions().decision("Q1"), "SQLite");
}

TEST_F(PhoneLocalTest, FailuresAreClearErrors) {
  // Nothing listens on the port of a stopped server.
  const auto port = *server->port();
  server.reset();
  auto gone = makeLocalPhoneLink(LocalLink(makeCurlHttpClient(), phoneRuntime.runtime().background, {"127.0.0.1", port}));
  try {
    gone->sendPrompt("Cursor", "hello");
    ADD_FAILURE() << "a refused connection was reported as success";
  } catch (const PhoneError& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot reach Deskwave at 127.0.0.1:" + std::to_string(port)));
  }
  EXPECT_THROW(registerPushCommand(*gone, {out}, "ab|cd", false), PhoneError) << "checked before sending";
}

// The desktop's real relay client in a room of a real deskwave-relay process.
class PhoneRelayTest : public RelayDesktopFixture {
 protected:
  std::unique_ptr<PhoneLink> phoneJoins() {
    auto link = std::make_unique<RelayLink>(makeBeastWebSocketClient(phoneRuntime.pool()), url, kSecret);
    EXPECT_EQ(link->connect(Seconds(5)), 2) << "the desktop is in the same room";
    return makeRelayPhoneLink(std::move(link));
  }

  AsioRuntime phoneRuntime{1};
  std::ostringstream out;
};

TEST_F(PhoneRelayTest, PromptsReachTheDesktopAndRepliesComeOnceAcrossARelayRestart) {
  ASSERT_TRUE(eventually([&] { return desktopConnected(); }));
  auto phone = phoneJoins();
  EXPECT_EQ(sendCommand(*phone, {out}, "cursor", "explain main.cpp", {}), kDone);
  EXPECT_EQ(registerPushCommand(*phone, {out}, "a1b2", true), kDone);

  outbox.add("cursor", "reply one", "assistant");
  // The desktop resends every 0.3 s until acknowledged; the phone prints once.
  EXPECT_EQ(watchCommand(*phone, {out, true}, {1, 10.0, nullptr}), kDone);
  EXPECT_TRUE(eventually([&] { return outbox.pending().empty(); })) << "the phone acknowledged the reply";
  using Prompt = std::pair<std::string, std::string>;
  EXPECT_THAT(receivedPrompts(),
              ElementsAre(Prompt("cursor", "explain main.cpp"), Prompt("__apns_token__", "a1b2|production")));

  // The relay dies with a reply pending and comes back on the same port.
  const auto port = relay->port();
  relay->stop(SIGKILL);
  const auto pending = outbox.add("codex", "reply two", "assistant");
  relay = startRelay(port);
  ASSERT_EQ(relay->port(), port);
  out.str("");
  EXPECT_EQ(watchCommand(*phone, {out, true}, {1, 20.0, nullptr}), kDone);
  EXPECT_EQ(Json::parse(out.str())["id"], pending.id);

  EXPECT_THROW(phone->read("/status"), PhoneError) << "the relay carries no state reads";
}

}  // namespace
}  // namespace deskwave::testing

namespace deskwave::testing {
namespace {

// The real deskwave-phone binary: what a script sees when something is wrong.
TEST(PhoneProgramTest, FailuresExitNonZeroWithAClearMessage) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  // The discard port, where nothing listens on loopback.
  const std::string closed = "127.0.0.1:9";
  const std::vector<Case> cases = {
      {{"--relay", "ws://127.0.0.1:9/", "send", "--target", "Cursor", "hi"}, 2, "--relay needs --secret"},
      {{"--secret", "abc", "--local", closed, "tabs"}, 2, "--secret goes with --relay"},
      {{"--local", "host:0", "status"}, 2, "--local wants HOST[:PORT]"},
      {{"--local", closed, "status"}, 1, "cannot reach Deskwave at 127.0.0.1:9"},
      {{"--relay", "ws://127.0.0.1:9/", "--secret", "abc", "watch"}, 1, "cannot reach the relay at ws://127.0.0.1:9/"},
      {{"--local", closed, "register-push", "a|b"}, 2, "hold no \"|\""},
      {{"send", "hello"}, 106, "--target is required"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {DESKWAVE_PHONE_BINARY};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const auto result = CliProcess(argv, {}).finish(30);
    EXPECT_EQ(result.status, c.status) << c.arguments.back() << ": " << result.err;
    EXPECT_THAT(result.err, HasSubstr("deskwave-phone: ")) << c.arguments.back();
    EXPECT_THAT(result.err, HasSubstr(c.message)) << c.arguments.back();
    EXPECT_EQ(result.out, "") << c.arguments.back();
  }
}

}  // namespace
}  // namespace deskwave::testing
