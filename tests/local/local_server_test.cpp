#include "local/local_server.h"

#include <gmock/gmock.h>
#include <sys/resource.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/asio_runtime.h"
#include "platform/uuid.h"
#include "platform/virtual_time.h"
#include "support/raw_http.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Json = nlohmann::json;

// A real server on an ephemeral loopback port. Sockets run on a real pool;
// timers and the hooks posted to the main thread run in virtual time, so a
// test decides when they run with `time->advance` / `time->runUntilIdle`.
class LocalServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = LocalServer::create(time->runtime(), io.pool(), nullptr, {0, true, 30.0, 256},
                                 [this](const std::string& line) { printed.push_back(line); });
    server->onMessage = [this](const std::string& target, const std::string& text) {
      messages.emplace_back(target, text);
    };
    server->onAttach = [this](const std::string& target, const std::string& text,
                              const std::vector<AttachedImage>& images) {
      attachments.push_back({target, text, images});
    };
    server->onPermAnswer = [this](const std::string& d) { answers.push_back(d); };
    server->onPermRequest = [this](const std::string& target, const std::string& detail) {
      lateRequests.emplace_back(target, detail);
    };
    server->tabsProvider = [] { return std::vector<std::string>{"Cursor", "\u00C4rger"}; };
    server->responsesProvider = [this] {
      std::lock_guard lock(mutex);
      return outbox;
    };
    server->ackHandler = [this](const std::vector<std::string>& ids) {
      std::lock_guard lock(mutex);
      std::erase_if(outbox, [&](const OutboxItem& i) { return std::find(ids.begin(), ids.end(), i.id) != ids.end(); });
    };
    server->start();
    ASSERT_TRUE(server->port());
    port = *server->port();
  }

  ParsedResponse call(const std::string& request) { return parseResponse(exchange(port, request)); }
  Json callJson(const std::string& request) {
    auto r = call(request);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << request;
    return Json::parse(r.body);
  }

  // Waits (bounded) until the server has taken up `count` timers, i.e. accepted connections.
  void waitForTimers(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (time->pendingTasks() < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  struct Attachment {
    std::string target;
    std::string text;
    std::vector<AttachedImage> images;
  };

  AsioRuntime io{2};
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<LocalServer> server;
  std::uint16_t port = 0;
  std::vector<std::string> printed;
  std::vector<std::pair<std::string, std::string>> messages;
  std::vector<Attachment> attachments;
  std::vector<std::string> answers;
  std::vector<std::pair<std::string, std::string>> lateRequests;
  std::mutex mutex;
  std::vector<OutboxItem> outbox;
};

TEST_F(LocalServerTest, PromptReachesTheHookOnTheMainThreadAndIsAnsweredAtOnce) {
  auto r = call(post("/", R"({"target":"cursor","text":"fix it","extra":1})"));
  EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
  EXPECT_THAT(r.headers, ElementsAre("Content-Type: application/json", "Content-Length: 15", "Connection: close"));
  EXPECT_EQ(r.body, R"({"status":"ok"})");
  EXPECT_THAT(messages, IsEmpty()) << "the hook is posted to the main thread";
  time->runUntilIdle();
  EXPECT_THAT(messages, ElementsAre(std::pair<std::string, std::string>("cursor", "fix it")));

  call(post("/some/other/path", R"({"target":"codex","text":"x"})"));
  call("PUT /status?x HTTP/1.1\r\nContent-Length: 29\r\n\r\n{\"target\":\"a\",\"text\":\"b\"}    ");
  time->runUntilIdle();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1].first, "codex");
  EXPECT_EQ(messages[2].first, "a");
  EXPECT_THAT(printed, ElementsAre("HTTPServer state: ready"));
}

TEST_F(LocalServerTest, BodiesThatDoNotDecodeAreRefusedWithNoEffect) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/", R"({"target":"cursor"})"},
      {"/", ""},
      {"/", "[1,2]"},
      {"/", R"({"target":5,"text":"x"})"},
      {"/ack", R"({"ids":"A"})"},
      {"/ack", R"({"ids":[1]})"},
      {"/perm-request", R"({"tool":"Bash","detail":"x","target":7})"},
      {"/perm-answer", R"({"id":"X"})"},
      {"/activity", R"({"target":"Claude"})"},
      {"/attach", R"({"target":"c","text":"","images":[{"name":"a"}]})"},
      {"/deliver", R"({"text":"x"})"},
  };
  for (const auto& [path, body] : cases) {
    auto r = call(post(path, body));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request") << path << " " << body;
    EXPECT_EQ(r.body, R"({"error":"invalid json"})");
  }
  time->runUntilIdle();
  EXPECT_THAT(messages, IsEmpty());
  EXPECT_THAT(attachments, IsEmpty());
  EXPECT_THAT(answers, IsEmpty());
  EXPECT_THAT(callJson(get("/perm-poll")), IsEmpty());
}

TEST_F(LocalServerTest, ResponsesStayUntilAcknowledged) {
  {
    std::lock_guard lock(mutex);
    outbox = {{"A1", "cursor", "one", "assistant"}, {"B2", "Claude", "caf\u00E9", "user"}};
  }
  for (int poll = 0; poll < 2; ++poll) {
    auto list = callJson(get("/responses"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1], (Json{{"id", "B2"}, {"target", "Claude"}, {"text", "caf\u00E9"}, {"role", "user"}}));
  }
  EXPECT_EQ(callJson(post("/ack", R"({"ids":["A1","nope"]})")), (Json{{"status", "ok"}}));
  auto list = callJson(get("/responses"));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["id"], "B2");
}

TEST_F(LocalServerTest, TabsDeclareTheirLengthInBytes) {
  auto r = call(get("/tabs"));
  EXPECT_EQ(r.body, "[\"Cursor\",\"\u00C4rger\"]");
  EXPECT_EQ(r.headers[1], "Content-Length: " + std::to_string(r.body.size()));
  EXPECT_EQ(r.body.size(), 19u) << "\"Ä\" takes two bytes";
}

TEST_F(LocalServerTest, HealthReportsPauseForAnyBodyOrNone) {
  EXPECT_EQ(call(get("/health")).body, R"({"paused":false})");
  EXPECT_EQ(call(post("/health", "not json")).body, R"({"paused":false})");
  server->setPaused(true);
  EXPECT_EQ(call(post("/health", "")).body, R"({"paused":true})");
}

TEST_F(LocalServerTest, PermissionRequestLifecycle) {
  auto filed = callJson(post("/perm-request", R"({"tool":"Bash","detail":"npm test"})"));
  const std::string id = filed["id"];
  EXPECT_TRUE(isCanonicalUuid(id));
  EXPECT_EQ(filed.size(), 1u);
  EXPECT_THAT(callJson(get("/perm-poll")), IsEmpty()) << "not listed during its first 1.5 s";
  EXPECT_EQ(callJson(get("/perm-result?id=" + id))["decision"], "pending");

  time->advance(Seconds(1.6));
  auto poll = callJson(get("/perm-poll"));
  ASSERT_EQ(poll.size(), 1u);
  EXPECT_EQ(poll[0], (Json{{"id", id}, {"tool", "Bash"}, {"detail", "npm test"}, {"target", "Claude"},
                           {"options", Json::array()}}));
  time->advance(Seconds(0.3));  // 1.9 s: still open, so the phone is told
  EXPECT_THAT(lateRequests, ElementsAre(std::pair<std::string, std::string>("Claude", "npm test")));

  callJson(post("/perm-answer", "{\"id\":\"" + id + "\",\"decision\":\"allow\"}"));
  time->runUntilIdle();
  EXPECT_THAT(answers, ElementsAre("allow"));
  EXPECT_THAT(callJson(get("/perm-poll")), IsEmpty());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(callJson(get("/perm-result?x=1&id=" + id))["decision"], "allow");
  EXPECT_EQ(callJson(get("/perm-result"))["decision"], "pending");
}

TEST_F(LocalServerTest, ARequestSettledWithinItsDelayIsNeverAnnounced) {
  const std::string answered = callJson(post("/perm-request", R"({"tool":"Edit","detail":"a","target":"Codex"})"))["id"];
  callJson(post("/perm-request", R"({"tool":"Edit","detail":"b"})"));
  time->advance(Seconds(1.0));
  callJson(post("/perm-answer", "{\"id\":\"" + answered + "\",\"decision\":\"deny\"}"));
  callJson(post("/perm-done", ""));
  time->advance(Seconds(5));
  EXPECT_THAT(lateRequests, IsEmpty());
  EXPECT_THAT(callJson(get("/perm-poll")), IsEmpty());
  EXPECT_EQ(callJson(get("/perm-result?id=" + answered))["decision"], "deny") << "decisions outlive /perm-done";
}

TEST_F(LocalServerTest, DecisionsWithQuotesStayValidJson) {
  const std::string decision = R"(say "hi" \ ok)";
  callJson(post("/perm-answer", Json{{"id", "Q"}, {"decision", decision}}.dump()));
  EXPECT_EQ(callJson(get("/perm-result?id=Q"))["decision"], decision);
}

TEST_F(LocalServerTest, ActivityReportsDriveTheStatus) {
  EXPECT_EQ(callJson(get("/status")), Json::object());
  callJson(post("/activity", R"({"target":"Claude","suppressed":false})"));
  callJson(post("/activity", R"({"target":"Codex","suppressed":false,"event":"pre","tool":"Bash"})"));
  server->updatePartial("Claude", "Half a reply");
  auto status = callJson(get("/status"));
  EXPECT_EQ(status["Claude"]["activity"], "Thinking");
  EXPECT_EQ(status["Claude"]["partial"], "Half a reply");
  EXPECT_DOUBLE_EQ(status["Claude"]["since"].get<double>(), 1767225600.0);
  EXPECT_EQ(status["Codex"]["activity"], "Thinking") << "an event without an activity is Thinking";
  EXPECT_FALSE(status["Codex"].contains("partial"));

  callJson(post("/activity", R"({"target":"Codex","suppressed":true,"event":"pre","activity":"Editing"})"));
  status = callJson(get("/status"));
  EXPECT_FALSE(status.contains("Codex")) << "suppressed ignores the event";
}

TEST_F(LocalServerTest, AttachPassesImagesInOrderAlsoWhenThereAreNone) {
  callJson(post("/attach", R"({"target":"claude","text":"","images":[]})"));
  callJson(post("/attach", R"({"target":"Code","text":"see","images":[{"name":"a.png","b64":"QQ=="},{"name":"b","b64":"??"}]})"));
  time->runUntilIdle();
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_THAT(attachments[0].images, IsEmpty());
  ASSERT_EQ(attachments[1].images.size(), 2u);
  EXPECT_EQ(attachments[1].images[0].name, "a.png");
  EXPECT_EQ(attachments[1].images[1].base64, "??");
}

TEST_F(LocalServerTest, ABodySplitOverSeveralReadsIsHandledOnce) {
  RawConnection c(port);
  const std::vector<std::string> parts = {R"({"target":"curs)", R"(or","text")", R"(:"split"})"};
  c.send("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(parts[0].size() + parts[1].size() + parts[2].size()) +
         "\r\n\r\n");
  for (const auto& part : parts) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c.send(part);
  }
  EXPECT_EQ(parseResponse(c.readAll()).body, R"({"status":"ok"})");
  time->runUntilIdle();
  EXPECT_THAT(messages, ElementsAre(std::pair<std::string, std::string>("cursor", "split")));
}

TEST_F(LocalServerTest, APeerThatGivesUpEarlyGetsNoAnswer) {
  for (const std::string partial : {"POST / HTTP/1.1\r\nContent-Len", "POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\n{}"}) {
    RawConnection c(port);
    c.send(partial);
    c.shutdownWrite();
    EXPECT_EQ(c.readAll(), "") << partial;
  }
  time->runUntilIdle();
  EXPECT_THAT(messages, IsEmpty());
}

TEST_F(LocalServerTest, BrowserRequestsAreRefusedAndHaveNoEffect) {
  auto r = call("POST / HTTP/1.1\r\nOrigin: https://example.com\r\nContent-Length: 29\r\n\r\n"
                "{\"target\":\"a\",\"text\":\"rm\"}   ");
  EXPECT_EQ(r.statusLine, "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(r.body, R"({"error":"forbidden"})");
  r = call("POST /ack HTTP/1.1\r\nSec-Fetch-Site: cross-site\r\nContent-Length: 12\r\n\r\n{\"ids\":[\"A\"]}");
  EXPECT_EQ(r.statusLine, "HTTP/1.1 403 Forbidden");
  time->runUntilIdle();
  EXPECT_THAT(messages, IsEmpty());
}

TEST_F(LocalServerTest, OversizedRequestsAreRefusedWithoutReadingThem) {
  auto r = call("POST /attach HTTP/1.1\r\nContent-Length: 104857600\r\n\r\n");
  EXPECT_EQ(r.statusLine, "HTTP/1.1 413 Payload Too Large");

  // A client that streams 100 MB without ever ending its header is cut off.
  RawConnection flood(port);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    const std::string chunk(1 << 20, 'a');
    flood.send("POST / HTTP/1.1\r\nX: ");
    for (int i = 0; i < 100 && !stop; ++i) flood.send(chunk);
  });
  EXPECT_EQ(parseResponse(flood.readAll()).statusLine, "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(callJson(get("/tabs")).size(), 2u) << "others are served meanwhile";
  stop = true;
  sender.join();
}

TEST_F(LocalServerTest, AnIdleConnectionIsClosedAfterThirtySecondsWhileOthersAreServed) {
  RawConnection idle(port);
  waitForTimers(1);
  EXPECT_EQ(callJson(get("/tabs")).size(), 2u);
  time->advance(Seconds(29.9));
  EXPECT_FALSE(idle.closedWithin(0.05));
  time->advance(Seconds(0.1));
  EXPECT_TRUE(idle.closedWithin(5));
}

TEST_F(LocalServerTest, AThousandConcurrentClientsAreAllAnswered) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 2400 && limit.rlim_max >= 2400) {
    limit.rlim_cur = 2400;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<std::unique_ptr<RawConnection>> clients;
  for (int i = 0; i < 1000; ++i) {
    clients.push_back(std::make_unique<RawConnection>(port));
    ASSERT_TRUE(clients.back()->connected()) << i;
    clients.back()->send(get("/status"));
  }
  int answered = 0;
  for (auto& c : clients) answered += parseResponse(c->readAll()).statusLine == "HTTP/1.1 200 OK";
  EXPECT_EQ(answered, 1000);
}

TEST(LocalServerStartTest, APortInUseIsReportedAndTheProgramGoesOn) {
  AsioRuntime io{1};
  auto time = VirtualTime::create();
  std::vector<std::string> printed;
  auto first = LocalServer::create(time->runtime(), io.pool(), nullptr, {0, true, 30.0, 256}, [](const std::string&) {});
  first->start();
  ASSERT_TRUE(first->port());
  auto second = LocalServer::create(time->runtime(), io.pool(), nullptr, {*first->port(), true, 30.0, 256},
                                    [&](const std::string& line) { printed.push_back(line); });
  second->start();
  EXPECT_FALSE(second->port());
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_TRUE(printed[0].starts_with("HTTPServer: failed to create listener: ")) << printed[0];
}

}  // namespace
}  // namespace deskwave::testing
