// The real deskwave-accounts program on a loopback port: its first line, the
// HTTP framing with the x-amz-json headers, and the codes in its log.

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/child_process.h"
#include "support/raw_http.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;

std::string cognitoPost(const std::string& action, const Json& body, bool close) {
  const auto text = body.dump();
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-amz-json-1.1\r\n"
         "X-Amz-Target: AWSCognitoIdentityProviderService." + action + "\r\nContent-Length: " +
         std::to_string(text.size()) + "\r\n" + (close ? "Connection: close\r\n" : "") + "\r\n" + text;
}

// Splits consecutive responses by their Content-Length.
std::vector<ParsedResponse> splitResponses(std::string raw) {
  std::vector<ParsedResponse> out;
  while (true) {
    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return out;
    auto response = parseResponse(raw.substr(0, headEnd + 4));
    std::size_t length = 0;
    for (const auto& h : response.headers)
      if (h.rfind("Content-Length: ", 0) == 0) length = std::stoul(h.substr(16));
    response.body = raw.substr(headEnd + 4, length);
    out.push_back(response);
    raw.erase(0, headEnd + 4 + length);
  }
}

TEST(AccountsProgramTest, AnswersCognitoRequestsOverLoopbackAndLogsTheCode) {
  TempHome home;
  const auto data = home.path() / "accounts-data";
  ListeningProcess program(
      {DESKWAVE_ACCOUNTS_BINARY, "--listen", "127.0.0.1:0", "--data", data.string(), "--client-id", "client-under-test"});
  ASSERT_TRUE(std::regex_match(program.firstLine(), std::regex("deskwave-accounts listening on 127\\.0\\.0\\.1:[0-9]+")))
      << program.firstLine();
  const auto port = program.port();
  ASSERT_NE(port, 0);

  // Two requests on one kept-alive connection; the second asks to close it.
  const Json signUp = {{"ClientId", "client-under-test"},
                       {"Username", "u-0c1d"},
                       {"Password", "Temp-pass-1234"},
                       {"UserAttributes", Json::array({{{"Name", "email"}, {"Value", "zoe@example.com"}}})}};
  auto otherClient = signUp;
  otherClient["ClientId"] = "someone-else";
  const auto responses = splitResponses(
      testing::exchange(port, cognitoPost("SignUp", signUp, false) + cognitoPost("SignUp", otherClient, true)));
  ASSERT_EQ(responses.size(), 2u);

  EXPECT_EQ(responses[0].statusLine, "HTTP/1.1 200 OK");
  EXPECT_THAT(responses[0].headers, ::testing::Contains("Content-Type: application/x-amz-json-1.1"));
  const auto created = Json::parse(responses[0].body, nullptr, false);
  EXPECT_EQ(created["UserConfirmed"], false) << responses[0].body;
  EXPECT_TRUE(created["UserSub"].is_string()) << responses[0].body;

  EXPECT_EQ(responses[1].statusLine, "HTTP/1.1 400 Bad Request");
  EXPECT_THAT(responses[1].headers, ::testing::Contains("Content-Type: application/x-amz-json-1.1"));
  const auto refused = Json::parse(responses[1].body, nullptr, false);
  EXPECT_EQ(refused["__type"], "ResourceNotFoundException") << responses[1].body;
  EXPECT_EQ(refused["message"], "User pool client someone-else does not exist.");

  // The code goes to the log, and each request leaves a line there.
  bool sawCode = false, sawRequest = false;
  while (!(sawCode && sawRequest)) {
    const auto line = program.nextLine();
    if (!line) break;
    sawCode = sawCode || std::regex_match(*line, std::regex("code for u-0c1d \\(zoe@example\\.com\\): [0-9]{6}"));
    sawRequest = sawRequest || line->find("SignUp 400 ResourceNotFoundException") != std::string::npos;
  }
  EXPECT_TRUE(sawCode);
  EXPECT_TRUE(sawRequest);

  struct stat info {};
  ASSERT_EQ(::stat((data / "token-secret").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((data / "accounts.sqlite3").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace deskwave::testing
