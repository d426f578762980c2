// Pushes sent by APNsSender through the real HTTP client (HTTP/2 over TLS) to a
// local stand-in for APNs that checks every header and the provider token.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The Node.js stand-in as a child process; it exits when its standard input
// closes, so it cannot outlive a crashed test.
class StandinProcess {
 public:
  explicit StandinProcess(const std::vector<std::string>& arguments) {
    int out[2];
    int in[2];
    if (::pipe(out) != 0) return;
    if (::pipe(in) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    std::vector<std::string> args = {"node", DESKWAVE_APNS_STANDIN};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(in[0], STDIN_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      ::close(in[0]);
      ::close(in[1]);
      ::execvp("node", argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(in[0]);
    stdin_ = in[1];
    // The first line is the port.
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
      port_ = static_cast<std::uint16_t>(std::stoi(line));
  }
  ~StandinProcess() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::uint16_t port_ = 0;
};

class APNsStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto dir = home.path() / "apns";
    const auto tls = makeP256KeyPair();
    writeFile(dir / "tls-cert.pem", makeLoopbackCertificate(tls));
    writeFile(dir / "tls-key.pem", tls.privatePem);
    writeFile(dir / "jwt-public.pem", signingKey.publicPem);
    record = dir / "pushes.jsonl";

    standin = std::make_unique<StandinProcess>(std::vector<std::string>{
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
  std::unique_ptr<StandinProcess> standin;

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
