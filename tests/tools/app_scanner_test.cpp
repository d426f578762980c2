#include "tools/app_scanner.h"

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "platform/virtual_time.h"
#include "support/fake_http_client.h"
#include "support/temp_home.h"
#include "tools/scan_url.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kScanURL = "http://127.0.0.1:8080/scan";

struct ScannerFixture : ::testing::Test {
  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime rt = time->runtime();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  std::vector<std::string> installed = {"Zed", "Cursor", "Files", "Cursor", "Deskwave"};
  std::vector<std::string> printed;
  AppScanner scanner{http, kScanURL, [this] { return installed; },
                     [this](const std::string& line) { printed.push_back(line); }};
  std::optional<ScanResult> result;

  void scan() {
    scanner.detectAITools(rt.main, [this](ScanResult r) { result = std::move(r); });
    time->runUntilIdle();
  }
  void settle() { time->runUntilIdle(); }
};

TEST_F(ScannerFixture, PostsTheSortedInstalledNamesAndReturnsTheSortedToolsWithoutItself) {
  scan();
  ASSERT_EQ(http->requests.size(), 1u);
  const auto& request = http->requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, kScanURL);
  EXPECT_THAT(request.headers, ElementsAre(std::pair<std::string, std::string>{"Content-Type", "application/json"}));
  EXPECT_EQ(request.timeout.count(), 90.0);
  ASSERT_TRUE(request.body);
  EXPECT_EQ(nlohmann::json::parse(*request.body),
            (nlohmann::json{{"names", {"Cursor", "Deskwave", "Files", "Zed"}}}));
  EXPECT_FALSE(result) << "nothing is decided before the relay answers";

  http->respond(200, R"({"tools":["Zed","DESKWAVE","Cursor"],"extra":1})");
  settle();
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->error);
  EXPECT_THAT(result->tools, ElementsAre("Cursor", "Zed"));
  EXPECT_THAT(printed, ElementsAre("[AppScanner] Found 4 installed apps — asking relay to classify",
                                   "[AppScanner] relay returned 3: Zed, DESKWAVE, Cursor"));
}

TEST_F(ScannerFixture, NoInstalledAppsStillAsksWithAnEmptyList) {
  installed.clear();
  scan();
  ASSERT_EQ(http->requests.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(*http->requests[0].body), (nlohmann::json{{"names", nlohmann::json::array()}}));
  http->respond(200, R"({"tools":[]})");
  settle();
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->error);
  EXPECT_THAT(result->tools, IsEmpty());
  EXPECT_EQ(printed.back(), "[AppScanner] relay returned 0: ");
}

TEST_F(ScannerFixture, FailuresCarryTheirKindAndDescription) {
  struct Case {
    const char* what;
    std::optional<int> status;  // nullopt: the transport fails with `body` as its error
    std::string body;
    ScanError::Kind kind;
    int errorStatus;
    std::string description;  // a prefix of errorDescription()
    std::string lastPrint;    // a prefix of the last printed line
  };
  const std::vector<Case> cases = {
      {"server error", 503, R"({"tools":["Cursor"]})", ScanError::Kind::apiFailure, 503, "API error 503",
       "[AppScanner] relay /scan HTTP 503"},
      {"not found", 404, "", ScanError::Kind::apiFailure, 404, "API error 404", "[AppScanner] relay /scan HTTP 404"},
      {"no HTTP answer at all", std::nullopt, "", ScanError::Kind::apiFailure, -1, "API error -1",
       "[AppScanner] relay /scan HTTP -1"},
      {"transport error", std::nullopt, "Could not connect to server", ScanError::Kind::transport, 0,
       "Could not connect to server", "[AppScanner] relay /scan failed: Could not connect to server"},
      {"not JSON", 200, "<html>busy</html>", ScanError::Kind::invalidResponse, 0, "Parse error: ",
       "[AppScanner] relay /scan answer unreadable"},
      {"no tools key", 200, R"({"names":["Cursor"]})", ScanError::Kind::invalidResponse, 0, "Parse error: ",
       "[AppScanner] relay /scan answer unreadable"},
      {"tools not a list", 200, R"({"tools":"Cursor"})", ScanError::Kind::invalidResponse, 0, "Parse error: ",
       "[AppScanner] relay /scan answer unreadable"},
      {"a tool not a string", 200, R"({"tools":["Cursor",7]})", ScanError::Kind::invalidResponse, 0,
       "Parse error: ", "[AppScanner] relay /scan answer unreadable"},
      {"a list, not an object", 200, R"(["Cursor"])", ScanError::Kind::invalidResponse, 0, "Parse error: ",
       "[AppScanner] relay /scan answer unreadable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    result.reset();
    printed.clear();
    scan();
    if (c.status)
      http->respond(*c.status, c.body);
    else
      http->fail(c.body);
    settle();
    ASSERT_TRUE(result);
    ASSERT_TRUE(result->error);
    EXPECT_THAT(result->tools, IsEmpty());
    EXPECT_EQ(result->error->kind, c.kind);
    EXPECT_EQ(result->error->status, c.errorStatus);
    EXPECT_THAT(result->error->errorDescription(), StartsWith(c.description));
    if (c.kind == ScanError::Kind::invalidResponse) {
      EXPECT_FALSE(result->error->text.empty()) << "says what is wrong";
    }
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_THAT(printed.back(), StartsWith(c.lastPrint));
  }
}

TEST(ScanURLTest, UsesTheRelayHostAndPort) {
  EXPECT_EQ(scanURLFromRelayURL("ws://127.0.0.1:8080"), "http://127.0.0.1:8080/scan");
  EXPECT_EQ(scanURLFromRelayURL("ws://relay.example.org:9000/room?x=1"), "http://relay.example.org:9000/scan");
  EXPECT_EQ(scanURLFromRelayURL("ws://relay.example.org/"), "http://relay.example.org:80/scan");
  EXPECT_EQ(scanURLFromRelayURL("wss://relay.example.org/socket"), "https://relay.example.org:443/scan")
      << "a relay behind TLS is asked over TLS";
  EXPECT_EQ(scanURLFromRelayURL("ws://[::1]:8080"), "http://[::1]:8080/scan");
  EXPECT_EQ(scanURLFromRelayURL("relay.example.org:8080"), "");
  EXPECT_EQ(scanURLFromRelayURL("ws://:8080"), "");
}

}  // namespace
}  // namespace deskwave::testing
