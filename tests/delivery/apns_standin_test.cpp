// Pushes sent by APNsSender through the real HTTP client (HTTP/2 over TLS) to a
// local stand-in for APNs that checks every header and the provider token.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "delivery/apns_sender.h"
#include "delivery/p256_test_keys.h"
#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"
#include "platform/memory_settings_store.h"
#include "support/apns_standin_process.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

constexpr const char* kKeyID = "STANDIN001";
constexpr const char* kTeamID = "TEAMSTAND1";
constexpr const char* kTopic = "com.example.deskwave";
constexpr const char* kGoodToken = "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0";
constexpr const char* kRejectedToken = "deadbeefdeadbeefdeadbeefdeadbeefdeadbeefdeadbeefdeadbeefdeadbeef";

void writeFile(const std::filesystem::path& file, const std::string& content) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

std::vector<nlohmann::json> recordedPushes(const std::filesystem::path& file) {
  std::vector<nlohmann::json> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

class APNsStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto dir = home.path() / "apns";
    const auto tls = makeP256KeyPair();
    writeFile(dir / "tls-cert.pem", makeLoopbackCertificate(tls));
    writeFile(dir / "tls-key.pem", tls.privatePem);
    writeFile(dir / "jwt-public.pem", signingKey.publicPem);
    record = dir / "pushes.jsonl";

    standin = std::make_unique<ApnsStandinProcess>(DESKWAVE_APNS_STANDIN, std::vector<std::string>{
        "--cert", (dir / "tls-cert.pem").string(), "--key", (dir / "tls-key.pem").string(), "--jwt-public-key",
        (dir / "jwt-public.pem").string(), "--kid", kKeyID, "--iss", kTeamID, "--topic", kTopic, "--record",
        record.string(), "--reject-token", kRejectedToken});
    ASSERT_NE(standin->port(), 0) << "the APNs stand-in did not start (is node installed?)";

    ::setenv("DESKWAVE_CA_BUNDLE", (dir / "tls-cert.pem").c_str(), 1);
    http = makeCurlHttpClient();
    const std::string host = "127.0.0.1:" + std::to_string(standin->port());
    APNsConfig config{kKeyID, kTeamID, kTopic, host, host, home.path() / "data" / "Deskwave" / "AuthKey.p8"};
    writeFile(config.keyPath, signingKey.privatePem);
    keyPath = config.keyPath;
    sender = std::make_unique<APNsSender>(config, settings, http, asio.runtime(), [this](std::string_view line) {
      std::lock_guard lock(mutex);
      logs.emplace_back(line);
      logged.notify_all();
    });
  }

  void TearDown() override {
    sender.reset();
    http.reset();
    ::unsetenv("DESKWAVE_CA_BUNDLE");
  }

  // Waits for the request's outcome: the first log line after `count` lines.
  std::string logLineAfter(std::size_t count) {
    std::unique_lock lock(mutex);
    logged.wait_for(lock, std::chrono::seconds(20), [&] { return logs.size() > count; });
    return logs.size() > count ? logs[count] : std::string("(nothing logged)");
  }

  std::size_t logCount() {
    std::lock_guard lock(mutex);
    return logs.size();
  }

  TempHome home;
  P256KeyPair signingKey = makeP256KeyPair();
  std::filesystem::path record;
  std::filesystem::path keyPath;
  std::unique_ptr<ApnsStandinProcess> standin;

  std::mutex mutex;
  std::condition_variable logged;
  std::vector<std::string> logs;

  AsioRuntime asio;
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::shared_ptr<HttpClient> http;
  std::unique_ptr<APNsSender> sender;
};

TEST_F(APNsStandinTest, PushIsDeliveredWithItsPayload) {
  sender->setDeviceToken(kGoodToken, true);
  const auto before = logCount();
  sender->send("Claude", "The build is green.", true);
  EXPECT_EQ(logLineAfter(before), "APNs: ✅ push delivered");

  const auto pushes = recordedPushes(record);
  ASSERT_EQ(pushes.size(), 1u);
  EXPECT_EQ(pushes[0]["token"], kGoodToken);
  EXPECT_EQ(pushes[0]["payload"],
            (nlohmann::json{
                {"aps", {{"alert", {{"title", "Claude"}, {"body", "The build is green."}}}, {"sound", "default"}}},
                {"dw-always", true}}));

  // A second push reuses the token and the connection setup still works.
  const auto second = logCount();
  sender->send("Cursor", "Second reply", false);
  EXPECT_EQ(logLineAfter(second), "APNs: ✅ push delivered");
  EXPECT_EQ(recordedPushes(record).size(), 2u);
}

TEST_F(APNsStandinTest, RejectedDeviceTokenIsLoggedWithStatusAndReason) {
  sender->setDeviceToken(kRejectedToken, false);
  const auto before = logCount();
  sender->send("Claude", "Nobody will see this.", false);
  EXPECT_EQ(logLineAfter(before), R"(APNs: push status 400 {"reason":"BadDeviceToken"})");
  EXPECT_TRUE(recordedPushes(record).empty());
}

TEST_F(APNsStandinTest, TokenSignedWithAnotherKeyIsRefused) {
  writeFile(keyPath, makeP256KeyPair().privatePem);
  sender->setDeviceToken(kGoodToken, true);
  const auto before = logCount();
  sender->send("Claude", "Signed by a stranger.", false);
  EXPECT_EQ(logLineAfter(before), R"(APNs: push status 403 {"reason":"InvalidProviderToken"})");
  EXPECT_TRUE(recordedPushes(record).empty());
}

}  // namespace
}  // namespace deskwave::testing
