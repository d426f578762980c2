// The scan answered by a real deskwave-relay process on loopback, through the
// program's real HTTP client.

#include <gmock/gmock.h>

#include <future>

#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"
#include "support/child_process.h"
#include "support/temp_home.h"
#include "tools/app_scanner.h"
#include "tools/scan_url.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;


struct ScanRelayTest : ::testing::Test {
  TempHome home;
  ListeningProcess relay{{DESKWAVE_RELAY_BINARY, "--listen", "127.0.0.1:0"}};
  AsioRuntime asio;
  std::thread loop{[this] { asio.runMainLoop(); }};
  std::shared_ptr<HttpClient> http = makeCurlHttpClient();

  ~ScanRelayTest() override {
    http.reset();
    asio.stop();
    loop.join();
  }

  ScanResult scan(const std::string& url) {
    std::promise<ScanResult> result;
    AppScanner scanner(
        http, url, [] { return std::vector<std::string>{"Zed", "Files", "Cursor", "Deskwave", "LibreOffice Writer"}; },
        [](const std::string&) {});
    scanner.detectAITools(asio.runtime().main, [&](ScanResult r) { result.set_value(std::move(r)); });
    auto future = result.get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "no answer from " << url;
      return {{}, ScanError::transport("timed out")};
    }
    return future.get();
  }
};

TEST_F(ScanRelayTest, TheRelayClassifiesTheInstalledApps) {
  ASSERT_NE(relay.port(), 0) << "deskwave-relay did not start";
  const auto url = scanURLFromRelayURL("ws://127.0.0.1:" + std::to_string(relay.port()) + "/");
  auto result = scan(url);
  ASSERT_FALSE(result.error) << result.error->errorDescription();
  EXPECT_THAT(result.tools, ElementsAre("Cursor", "Zed"));

  result = scan("http://127.0.0.1:" + std::to_string(relay.port()) + "/no-such-endpoint");
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->errorDescription(), "API error 404");

  relay.stop(SIGKILL);
  result = scan(url);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->kind, ScanError::Kind::transport);
  EXPECT_THAT(result.tools, IsEmpty());
}

}  // namespace
}  // namespace deskwave::testing
