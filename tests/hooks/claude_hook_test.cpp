#include "app/claude_hook.h"

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>
#include <optional>

#include "platform/virtual_time.h"
#include "support/fake_http_client.h"

namespace deskwave::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Json = nlohmann::json;

constexpr const char* kBase = "http://127.0.0.1:8765";
constexpr const char* kBashInput =
    R"({"session_id":"s1","transcript_path":"/t.jsonl","cwd":"/src","permission_mode":"default",)"
    R"("hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"rm -rf build\nmake"}})";

// One hook event against a fake bridge, in virtual time: the test answers each
// request and moves the clock.
class ClaudeHookTest : public ::testing::Test {
 protected:
  void start(const std::string& event, const std::string& input) {
    hook = ClaudeHook::start(HookLink{http, main, time->clock(), kBase}, event, input,
                             [this](HookOutcome o) {
                               ++outcomes;
                               outcome = std::move(o);
                             });
    time->runUntilIdle();
  }
  void respond(int status, const std::string& body) {
    ASSERT_TRUE(http->respond(status, body)) << "no request is waiting for an answer";
    time->runUntilIdle();
  }
  void refuse() {
    ASSERT_TRUE(http->fail("Couldn't connect to server: Connection refused"));
    time->runUntilIdle();
  }
  const HttpRequest& last() const { return http->requests.back(); }
  // Files the permission request and answers it with id "REQ-1".
  void fileRequest() {
    start("PermissionRequest", kBashInput);
    ASSERT_EQ(http->requests.size(), 1u);
    respond(200, R"({"id":"REQ-1"})");
  }
  void expectPoll() {
    EXPECT_EQ(last().method, "GET");
    EXPECT_EQ(last().url, std::string(kBase) + "/perm-result?id=REQ-1");
    EXPECT_FALSE(last().body);
  }
  std::size_t count(const std::string& path) const {
    std::size_t n = 0;
    for (const auto& r : http->requests) n += r.url == std::string(kBase) + path;
    return n;
  }

  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<Executor> main = time->makeExecutor("main");
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  std::shared_ptr<ClaudeHook> hook;
  std::optional<HookOutcome> outcome;
  int outcomes = 0;
};

TEST_F(ClaudeHookTest, TurnAndToolEventsReportActivity) {
  struct Case {
    std::string event;
    std::string input;
    std::string body;
  };
  const std::vector<Case> table = {
      {"UserPromptSubmit", R"({"hook_event_name":"UserPromptSubmit","prompt":"fix it","session_id":"s"})",
       R"({"target":"Claude","suppressed":false})"},
      {"PreToolUse", R"({"tool_name":"Bash","tool_input":{"command":"ls"},"tool_use_id":"t1"})",
       R"({"target":"Claude","suppressed":false,"event":"pre","tool":"Bash","activity":"Running command"})"},
      {"PostToolUse", R"({"tool_name":"Edit","tool_input":{"file_path":"/a"},"tool_response":{"ok":true}})",
       R"({"target":"Claude","suppressed":false,"event":"post","tool":"Edit","activity":"Editing file"})"},
      {"PreToolUse", R"({"tool_name":"mcp__x__y"})",
       R"({"target":"Claude","suppressed":false,"event":"pre","tool":"mcp__x__y","activity":"Using mcp__x__y"})"},
      {"Stop", R"({"hook_event_name":"Stop","stop_hook_active":false})", R"({"target":"Claude","suppressed":true})"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.event + " " + c.input);
    http->requests.clear();
    outcome.reset();
    start(c.event, c.input);
    ASSERT_EQ(http->requests.size(), 1u);
    EXPECT_EQ(last().method, "POST");
    EXPECT_EQ(last().url, std::string(kBase) + "/activity");
    EXPECT_EQ(last().body, c.body);
    EXPECT_EQ(last().timeout, ClaudeHook::kRequestTimeout);
    EXPECT_FALSE(outcome) << "the hook waits for the bridge's answer";
    respond(200, R"({"status":"ok"})");
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->output, "") << "stdout of UserPromptSubmit would become Claude's context";
    EXPECT_EQ(outcome->message, "");
  }
}

TEST_F(ClaudeHookTest, NoBridgeEndsAtOnceSilentlyWithoutRetrying) {
  for (const std::string event : {"UserPromptSubmit", "Stop", "PermissionRequest"}) {
    SCOPED_TRACE(event);
    http->requests.clear();
    outcome.reset();
    start(event, kBashInput);
    refuse();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->output, "");
    EXPECT_EQ(outcome->message, "");
    EXPECT_EQ(http->requests.size(), 1u) << "neither a retry nor a /perm-done";
    EXPECT_EQ(time->elapsed(), Seconds(0));
    EXPECT_EQ(time->pendingTasks(), 0u);
  }
}

TEST_F(ClaudeHookTest, BadEventOrInputSendsNothingAndSaysWhy) {
  struct Case {
    std::string event;
    std::string input;
    std::string why;
  };
  const std::vector<Case> table = {
      {"SessionStart", "{}", "unknown event \"SessionStart\""},
      {"stop", "{}", "unknown event"},
      {"Stop", "not json", "not a JSON object"},
      {"Stop", "", "not a JSON object"},
      {"UserPromptSubmit", "[1,2]", "not a JSON object"},
      {"PreToolUse", R"({"tool_input":{}})", "tool_name"},
      {"PostToolUse", R"({"tool_name":""})", "tool_name"},
      {"PermissionRequest", R"({"tool_name":7})", "tool_name"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.event + " " + c.input);
    outcome.reset();
    start(c.event, c.input);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->output, "");
    EXPECT_THAT(outcome->message, HasSubstr(c.why));
  }
  EXPECT_THAT(http->requests, IsEmpty());
}

TEST_F(ClaudeHookTest, PermissionRequestPollsUntilThePhoneAllows) {
  start("PermissionRequest", kBashInput);
  ASSERT_EQ(http->requests.size(), 1u);
  EXPECT_EQ(last().method, "POST");
  EXPECT_EQ(last().url, std::string(kBase) + "/perm-request");
  EXPECT_EQ(last().body, R"({"tool":"Bash","detail":"rm -rf build make","target":"Claude"})");
  respond(200, R"({"id":"REQ-1"})");

  ASSERT_EQ(http->requests.size(), 2u) << "the first poll follows at once";
  expectPoll();
  respond(200, R"({"decision":"pending"})");
  time->advance(Seconds(0.49));
  EXPECT_EQ(http->requests.size(), 2u) << "polls are half a second apart";
  time->advance(Seconds(0.01));
  ASSERT_EQ(http->requests.size(), 3u);
  expectPoll();
  EXPECT_FALSE(outcome);
  respond(200, R"({"decision":"allow"})");

  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->output,
            R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})"
            "\n");
  EXPECT_EQ(outcome->message, "");
  EXPECT_EQ(count("/perm-done"), 0u);
  EXPECT_EQ(time->pendingTasks(), 0u);
}

TEST_F(ClaudeHookTest, PermissionRequestDeniedFromThePhoneTellsClaudeSo) {
  fileRequest();
  respond(200, R"({"decision":"deny"})");
  ASSERT_TRUE(outcome);
  const auto output = Json::parse(outcome->output);
  EXPECT_EQ(output["hookSpecificOutput"]["hookEventName"], "PermissionRequest");
  EXPECT_EQ(output["hookSpecificOutput"]["decision"]["behavior"], "deny");
  EXPECT_THAT(output["hookSpecificOutput"]["decision"]["message"].get<std::string>(), HasSubstr("phone"));
  EXPECT_EQ(count("/perm-done"), 0u);
}

TEST_F(ClaudeHookTest, NoDecisionWithin120SecondsWithdrawsTheRequestAndPrintsNothing) {
  fileRequest();
  // Answer every poll "pending" up to just before the limit.
  while (time->elapsed() < Seconds(119.9)) {
    ASSERT_FALSE(outcome) << "gave up early, at " << time->elapsed().count() << " s";
    if (!http->pending.empty()) respond(200, R"({"decision":"pending"})");
    time->advance(Seconds(0.1));
  }
  EXPECT_EQ(count("/perm-done"), 0u);
  EXPECT_EQ(count("/perm-result?id=REQ-1"), 240u) << "one poll every 0.5 s from 0 to 119.5 s";
  if (!http->pending.empty()) respond(200, R"({"decision":"pending"})");
  time->advance(Seconds(0.1));

  ASSERT_EQ(last().url, std::string(kBase) + "/perm-done");
  EXPECT_EQ(last().method, "POST");
  EXPECT_FALSE(outcome) << "waits for /perm-done's answer";
  respond(200, R"({"status":"ok"})");
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->output, "");
  EXPECT_EQ(time->pendingTasks(), 0u);
}

TEST_F(ClaudeHookTest, AnythingButAllowOrDenyLetsClaudeCodeAskAtTheDesk) {
  struct Case {
    std::string name;
    std::function<void()> answer;
  };
  const std::vector<Case> table = {
      {"another decision", [this] { respond(200, R"({"decision":"__other__:later"})"); }},
      {"a decision that is not JSON", [this] { respond(200, R"({"decision":"a"b"})"); }},
      {"an error status", [this] { respond(500, "{}"); }},
      {"the bridge gone", [this] { refuse(); }},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    http->requests.clear();
    outcome.reset();
    fileRequest();
    c.answer();
    ASSERT_EQ(last().url, std::string(kBase) + "/perm-done");
    refuse();  // best effort: even an unanswered /perm-done ends the hook
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->output, "");
    EXPECT_EQ(count("/perm-result?id=REQ-1"), 1u);
  }
}

TEST_F(ClaudeHookTest, AnIdThatIsNotTheBridgesIsNeverPutIntoAURL) {
  for (const std::string answer : {R"({"id":"../x?id=Y&z"})", R"({"id":""})", R"({"status":"ok"})", "[]"}) {
    SCOPED_TRACE(answer);
    http->requests.clear();
    outcome.reset();
    start("PermissionRequest", kBashInput);
    respond(200, answer);
    ASSERT_EQ(http->requests.size(), 2u);
    EXPECT_EQ(last().url, std::string(kBase) + "/perm-done");
    respond(200, R"({"status":"ok"})");
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->output, "");
  }
}

TEST_F(ClaudeHookTest, CancelWhileWaitingWithdrawsTheRequestAndIgnoresALateDecision) {
  fileRequest();
  ASSERT_EQ(http->pending.size(), 1u) << "a poll is under way";
  hook->cancel();
  time->runUntilIdle();
  ASSERT_EQ(last().url, std::string(kBase) + "/perm-done");
  respond(200, R"({"decision":"allow"})");  // the poll's answer arrives after the cancel
  EXPECT_FALSE(outcome);
  respond(200, R"({"status":"ok"})");
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->output, "") << "a cancelled wait never allows";
  time->advance(Seconds(10));
  EXPECT_EQ(http->requests.size(), 3u) << "no poll after the cancel";
  hook->cancel();
  time->runUntilIdle();
  EXPECT_EQ(outcomes, 1);
}

}  // namespace
}  // namespace deskwave::testing
