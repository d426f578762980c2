// The whole system as real processes on loopback in a private network
// namespace and headless desktop: deskwave --headless, deskwave-phone on either
// link, deskwave-relay, the fixture chat window, the APNs stand-in and the
// Claude Code hook, each test in a temporary home.

#include <gmock/gmock.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "delivery/p256_test_keys.h"
#include "desktop/fixture_app.h"
#include "support/apns_standin_process.h"
#include "support/raw_http.h"
#include "system/desktop_under_test.h"

namespace deskwave::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Json = nlohmann::json;

// The fixture streams its reply three words per second: about nine seconds.
const std::vector<std::string> kSlowFixture = {"FIXTURE_REPLY_STEP_MS=1000"};

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> out;
  for (const auto& line : lines(text)) out.push_back(Json::parse(line));
  return out;
}

std::string jsonPayload(const std::optional<std::string>& line) {
  if (!line) return "(no line)";
  return Json::parse(line->substr(line->find(' ') + 1)).get<std::string>();
}

// Polls `read` every 200 ms until it yields something non-empty or 30 s pass.
template <class Read>
auto eventually(Read read, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto value = read();
  while (value.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(200ms);
    value = read();
  }
  return value;
}

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inTestSession()) GTEST_SKIP() << "needs the private desktop of run_isolated.sh";
  }
  TempHome home;
};

TEST_F(SystemTest, LanRoundTripThroughTheFixtureChat) {
  FixtureApp fixture(kSlowFixture);
  ASSERT_NE(fixture.pid(), 0);
  DesktopUnderTest desktop(home, {});
  ASSERT_TRUE(desktop.ready()) << desktop.log();

  auto watch = startPhone(local({"--json", "watch", "--count", "1", "--timeout", "90"}));
  const auto sent = phone(local({"send", "--target", "fixture", "parser bug in main.cpp"}));
  ASSERT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(jsonPayload(fixture.waitForLine("PROMPT", 10s)), "parser bug in main.cpp") << desktop.log();

  // While the fixture writes, the running turn shows the reply growing.
  std::set<std::string> partials;
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until && fixture.waitForLine("REPLY", 0ms) == std::nullopt) {
    const auto status = phone(local({"--json", "status"}));
    if (status.status == 0) {
      const auto turns = Json::parse(status.out);
      if (turns.contains("fixture") && turns["fixture"].contains("partial"))
        partials.insert(turns["fixture"]["partial"].get<std::string>());
    }
    std::this_thread::sleep_for(500ms);
  }
  const auto reply = jsonPayload(fixture.waitForLine("REPLY", 20s));
  EXPECT_GE(partials.size(), 2u) << "the partial reply was seen growing";
  for (const auto& partial : partials) EXPECT_TRUE(reply.find(partial.substr(0, 20)) != std::string::npos) << partial;

  const auto watched = watch->finish(90);
  ASSERT_EQ(watched.status, 0) << watched.err << desktop.log();
  const auto replies = jsonLines(watched.out);
  ASSERT_EQ(replies.size(), 1u) << watched.out;
  EXPECT_EQ(replies[0]["target"], "fixture");
  EXPECT_EQ(replies[0]["role"], "assistant");
  EXPECT_THAT(replies[0]["text"].get<std::string>(), HasSubstr("the test passes once it is added"));
  EXPECT_EQ(parseResponse(exchange(8765, get("/responses"))).body, "[]") << "acknowledged, it left the outbox";
}

TEST_F(SystemTest, RelayRoundTripAndPendingRepliesSurviveARelayRestart) {
  auto relay = std::make_unique<ListeningProcess>(std::vector<std::string>{DESKWAVE_RELAY_BINARY, "--listen", "127.0.0.1:0"});
  ASSERT_NE(relay->port(), 0);
  const auto port = relay->port();
  const std::string url = "ws://127.0.0.1:" + std::to_string(port);
  FixtureApp fixture;
  ASSERT_NE(fixture.pid(), 0);
  ClaudeTranscript transcript(home.path());
  DesktopUnderTest desktop(home, {.relayUrl = url});
  ASSERT_TRUE(desktop.ready()) << desktop.log();

  // The desktop joins its room a moment after start; the phone waits in it.
  auto watch = startPhone(viaRelay(url, {"--json", "watch", "--count", "1", "--timeout", "90"}));
  CliResult sent;
  for (int attempt = 0; attempt < 50; ++attempt) {
    sent = phone(viaRelay(url, {"send", "--target", "fixture", "crash on start"}));
    if (sent.err.find("no desktop") == std::string::npos) break;
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(jsonPayload(fixture.waitForLine("PROMPT", 10s)), "crash on start") << desktop.log();
  auto watched = watch->finish(90);
  ASSERT_EQ(watched.status, 0) << watched.err << desktop.log();
  auto replies = jsonLines(watched.out);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["target"], "fixture");
  EXPECT_EQ(replies[0]["role"], "assistant");
  EXPECT_THAT(replies[0]["text"].get<std::string>(), HasSubstr("the test passes once it is added"));
  const auto outboxEmpty = [] { return parseResponse(exchange(8765, get("/responses"))).body == "[]"; };
  EXPECT_TRUE(waitUntil(outboxEmpty, 30s))
      << "the acknowledgement over the relay emptied the outbox";

  // With the phone still watching, the relay dies; two replies are written at
  // the desk while it is away, and it comes back on the same port.
  watch = startPhone(viaRelay(url, {"--json", "watch", "--count", "2", "--timeout", "120"}));
  std::this_thread::sleep_for(1s);  // the watch has joined the room
  relay->stop(SIGKILL);
  transcript.assistantReply("First answer written while the relay was down.");
  transcript.assistantReply("Second answer written while the relay was down.");
  const auto pending = eventually([&] {
    const auto list = Json::parse(parseResponse(exchange(8765, get("/responses"))).body);
    return list.size() == 2 ? list : Json::array();
  });
  ASSERT_EQ(pending.size(), 2u) << "both replies wait in the outbox";
  relay = std::make_unique<ListeningProcess>(
      std::vector<std::string>{DESKWAVE_RELAY_BINARY, "--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_EQ(relay->port(), port);

  watched = watch->finish(120);
  ASSERT_EQ(watched.status, 0) << watched.err << desktop.log();
  EXPECT_THAT(watched.err, HasSubstr("reconnected to the relay"));
  replies = jsonLines(watched.out);
  ASSERT_EQ(replies.size(), 2u) << watched.out;
  EXPECT_NE(replies[0]["id"], replies[1]["id"]) << "each reply once, however often it was resent";
  EXPECT_EQ(std::set<std::string>({replies[0]["text"], replies[1]["text"]}),
            std::set<std::string>({"First answer written while the relay was down.",
                                   "Second answer written while the relay was down."}));
  EXPECT_TRUE(waitUntil(outboxEmpty, 30s));
}

TEST_F(SystemTest, ClaudeConversationIsMirroredWithoutEchoingPhonePrompts) {
  ClaudeTranscript transcript(home.path());
  DesktopUnderTest desktop(home, {});
  ASSERT_TRUE(desktop.ready()) << desktop.log();

  transcript.userPrompt("Why does the build fail?");
  transcript.assistantReply("The header <span> is missing.");
  auto watched = phone(local({"--json", "watch", "--count", "2", "--timeout", "30"}));
  ASSERT_EQ(watched.status, 0) << watched.err << desktop.log();
  auto replies = jsonLines(watched.out);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0]["role"], "user");
  EXPECT_EQ(replies[0]["text"], "Why does the build fail?");
  EXPECT_EQ(replies[1]["role"], "assistant");
  EXPECT_EQ(replies[1]["text"], "The header <span> is missing.");

  transcript.askUserQuestion("Which database?", {{"SQLite", "one file"}, {"PostgreSQL", "a server"}});
  const auto questions = eventually([&] { return Json::parse(phone(local({"--json", "perms"})).out); });
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0]["detail"], "Which database?");
  ASSERT_EQ(questions[0]["options"].size(), 2u);
  EXPECT_EQ(questions[0]["options"][0]["label"], "SQLite");
  EXPECT_EQ(questions[0]["options"][1]["label"], "PostgreSQL");

  // A prompt from the phone that Claude Code echoes into its transcript is not
  // sent back to the phone; the reply to it is.
  ASSERT_EQ(phone(local({"send", "--target", "Claude", "Add a test for the parser"})).status, 0);
  std::this_thread::sleep_for(1s);  // the desktop records the prompt before Claude Code could echo it
  transcript.userPrompt("Add a test for the parser");
  transcript.assistantReply("Added tests/parser_test.cpp.");
  watched = phone(local({"--json", "watch", "--count", "1", "--timeout", "30"}));
  ASSERT_EQ(watched.status, 0) << watched.err << desktop.log();
  replies = jsonLines(watched.out);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["text"], "Added tests/parser_test.cpp.");
  EXPECT_EQ(phone(local({"--json", "watch", "--count", "1", "--timeout", "5"})).status, 1)
      << "nothing else came: the echo was not mirrored";
}

TEST_F(SystemTest, PermissionRequestFromTheHookIsAnsweredOnThePhone) {
  DesktopUnderTest desktop(home, {});
  ASSERT_TRUE(desktop.ready()) << desktop.log();

  const Json input = {{"session_id", "7a4e2c10-1b9d-4f3a-8e6c-5d2b0a9f1e37"},
                      {"transcript_path", (home.path() / ".claude/projects/-work-demo/7a4e2c10.jsonl").string()},
                      {"cwd", "/work/demo"},
                      {"permission_mode", "default"},
                      {"hook_event_name", "PermissionRequest"},
                      {"tool_name", "Bash"},
                      {"tool_input", {{"command", "rm -rf build"}, {"description", "Remove the build folder"}}}};
  CliProcess hook({DESKWAVE_BINARY, "hook", "PermissionRequest"}, {});
  hook.send(input.dump());
  hook.closeInput();

  const auto requests = eventually([&] { return Json::parse(phone(local({"--json", "perms"})).out); });
  ASSERT_EQ(requests.size(), 1u) << desktop.log();
  EXPECT_EQ(requests[0]["tool"], "Bash");
  EXPECT_THAT(requests[0]["detail"].get<std::string>(), HasSubstr("rm -rf build"));
  EXPECT_EQ(requests[0]["target"], "Claude");

  const auto answered = phone(local({"answer", requests[0]["id"].get<std::string>(), "allow"}));
  ASSERT_EQ(answered.status, 0) << answered.err;
  const auto result = hook.finish(30);
  EXPECT_EQ(result.status, 0) << result.err;
  const auto output = Json::parse(result.out);
  EXPECT_EQ(output["hookSpecificOutput"]["hookEventName"], "PermissionRequest");
  EXPECT_EQ(output["hookSpecificOutput"]["decision"]["behavior"], "allow");
}

TEST_F(SystemTest, AReplyIsAnnouncedByOnePushWithAVerifyingToken) {
  const auto dir = home.path() / "apns";
  std::filesystem::create_directories(dir);
  const auto write = [](const std::filesystem::path& file, const std::string& text) { std::ofstream(file) << text; };
  const auto tls = makeP256KeyPair();
  const auto signing = makeP256KeyPair();
  write(dir / "tls-cert.pem", makeLoopbackCertificate(tls));
  write(dir / "tls-key.pem", tls.privatePem);
  write(dir / "jwt-public.pem", signing.publicPem);
  std::filesystem::create_directories(home.paths().dataHome() / "Deskwave");
  write(home.paths().dataHome() / "Deskwave" / "AuthKey.p8", signing.privatePem);
  const auto record = dir / "pushes.jsonl";
  ApnsStandinProcess standin(DESKWAVE_APNS_STANDIN,
                             {"--cert", (dir / "tls-cert.pem").string(), "--key", (dir / "tls-key.pem").string(),
                              "--jwt-public-key", (dir / "jwt-public.pem").string(), "--kid", "KEY1234567", "--iss",
                              "TEAM123456", "--topic", "dev.deskwave.phone", "--record", record.string()});
  ASSERT_NE(standin.port(), 0) << "the APNs stand-in did not start";
  const std::string host = "127.0.0.1:" + std::to_string(standin.port());
  ClaudeTranscript transcript(home.path());
  DesktopUnderTest desktop(home, {.environment = {{"DESKWAVE_APNS_KEY_ID", "KEY1234567"},
                                                  {"DESKWAVE_APNS_TEAM_ID", "TEAM123456"},
                                                  {"DESKWAVE_APNS_TOPIC", "dev.deskwave.phone"},
                                                  {"DESKWAVE_APNS_HOST_SANDBOX", host},
                                                  {"DESKWAVE_CA_BUNDLE", (dir / "tls-cert.pem").string()}}});
  ASSERT_TRUE(desktop.ready()) << desktop.log();

  const std::string token = "a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c0d1e2f3a4b5c6d7e8f9a0b1";
  ASSERT_EQ(phone(local({"register-push", token})).status, 0);
  ASSERT_EQ(eventually([&] { return desktop.stringSetting("deskwave.apns.deviceToken").value_or(""); }), token);
  transcript.assistantReply("The migration is done.");

  const auto readRecord = [&] {
    std::ifstream in(record);
    std::vector<Json> pushes;
    for (std::string line; std::getline(in, line);) pushes.push_back(Json::parse(line));
    return pushes;
  };
  const auto pushes = eventually(readRecord);
  ASSERT_EQ(pushes.size(), 1u) << desktop.log();
  EXPECT_EQ(pushes[0]["token"], token);
  EXPECT_THAT(pushes[0]["payload"].dump(), HasSubstr("The migration is done."));
  std::this_thread::sleep_for(3s);  // one reply, one push: nothing follows
  EXPECT_EQ(readRecord().size(), 1u);
}

TEST_F(SystemTest, WhilePausedPromptsAreNeitherPastedNorStoredButTokensRegister) {
  FixtureApp fixture;
  ASSERT_NE(fixture.pid(), 0);
  DesktopUnderTest desktop(home, {.paused = true});
  ASSERT_TRUE(desktop.ready()) << desktop.log();
  EXPECT_THAT(exchange(8765, get("/health")), HasSubstr(R"({"paused":true})"));

  ASSERT_EQ(phone(local({"send", "--target", "fixture", "do not paste me"})).status, 0);
  ASSERT_EQ(phone(local({"register-push", "feedface", "--production"})).status, 0);
  EXPECT_EQ(eventually([&] { return desktop.stringSetting("deskwave.apns.deviceToken").value_or(""); }), "feedface");
  EXPECT_EQ(fixture.waitForLine("PROMPT", 5s), std::nullopt) << "nothing was pasted";
  EXPECT_FALSE(desktop.hasSetting("deskwave.mac.extra.fixture")) << "nothing was stored in the history";
}

}  // namespace
}  // namespace deskwave::testing
