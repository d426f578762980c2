#include "local/http_framing.h"

#include <gtest/gtest.h>

namespace deskwave {
namespace {

TEST(HttpFramingTest, ReadsAnsweredWithoutABodyAreExactPathsOrThePermResultPrefix) {
  struct Case {
    std::string requestLine;
    bool answeredAtOnce;
  };
  const Case cases[] = {
      {"GET /status HTTP/1.1", true},       {"GET /tabs HTTP/1.1", true},
      {"GET /responses HTTP/1.1", true},    {"GET /perm-poll HTTP/1.1", true},
      {"GET /perm-result?id=X HTTP/1.1", true}, {"GET /perm-resultXYZ HTTP/1.1", true},
      {"GET /status?x=1 HTTP/1.1", false},  {"get /status HTTP/1.1", false},
      {"POST /status HTTP/1.1", false},     {"GET /health HTTP/1.1", false},
  };
  for (const auto& c : cases) {
    // No Content-Length: a body path frames at once with an empty body.
    const auto r = frameRequest(c.requestLine + "\r\nHost: x\r\n\r\n", false);
    ASSERT_EQ(r.status, FrameStatus::ready) << c.requestLine;
    EXPECT_EQ(r.request.bodyRead, !c.answeredAtOnce) << c.requestLine;
    EXPECT_EQ(r.request.body, "");
  }
}

TEST(HttpFramingTest, RequestLinePartsAreSplitAtSingleBlanks) {
  struct Case {
    std::string line;
    std::string method;
    std::string path;
  };
  const Case cases[] = {
      {"POST /ack HTTP/1.1", "POST", "/ack"},
      {"POST", "POST", "/"},
      {"", "", "/"},
      {"POST  /ack", "POST", ""},
      {"DELETE /x?y=1&z HTTP/1.0", "DELETE", "/x?y=1&z"},
  };
  for (const auto& c : cases) {
    const auto r = frameRequest(c.line + "\r\n\r\n", false);
    ASSERT_EQ(r.status, FrameStatus::ready) << c.line;
    EXPECT_EQ(r.request.method, c.method) << c.line;
    EXPECT_EQ(r.request.path, c.path) << c.line;
  }
}

TEST(HttpFramingTest, WaitsForTheWholeBodyAndDropsAPeerThatGivesUp) {
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
  EXPECT_EQ(frameRequest("POST / HTTP/1.1\r\nContent-Le", false).status, FrameStatus::needMore);
  EXPECT_EQ(frameRequest("POST / HTTP/1.1\r\nContent-Le", true).status, FrameStatus::drop);
  EXPECT_EQ(frameRequest(head + "01234", false).status, FrameStatus::needMore);
  EXPECT_EQ(frameRequest(head + "01234", true).status, FrameStatus::drop);
  const auto r = frameRequest(head + "0123456789EXTRA", false);
  ASSERT_EQ(r.status, FrameStatus::ready);
  EXPECT_EQ(r.request.body, "0123456789") << "bytes beyond the declared length are ignored";
}

TEST(HttpFramingTest, ContentLengthLastLineWinsAndIsParsedLeniently) {
  struct Case {
    std::string headers;
    std::string expectedBody;
  };
  const std::string payload = "0123456789";
  const Case cases[] = {
      {"Content-Length: 5\r\ncontent-LENGTH: 7", "0123456"},
      {"CONTENT-LENGTH:3", "012"},
      {"Content-Length:   +4  ", "0123"},
      {"Content-Length: abc", ""},
      {"Content-Length: 4x", ""},
      {"Content-Length: -5", ""},
      {"Content-Length: 99999999999999999999999", ""},
      {"X-Content-Length: 5", ""},
  };
  for (const auto& c : cases) {
    const auto r = frameRequest("POST / HTTP/1.1\r\n" + c.headers + "\r\n\r\n" + payload, false);
    ASSERT_EQ(r.status, FrameStatus::ready) << c.headers;
    EXPECT_EQ(r.request.body, c.expectedBody) << c.headers;
  }
}

TEST(HttpFramingTest, HeaderThatIsNotUtf8ReadsAsAnEmptyRequestLine) {
  const auto r = frameRequest("POST /ack\xff HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", false);
  ASSERT_EQ(r.status, FrameStatus::ready);
  EXPECT_EQ(r.request.method, "");
  EXPECT_EQ(r.request.path, "/");
  EXPECT_EQ(r.request.body, "") << "with the header unreadable the length is 0";
}

TEST(HttpFramingTest, RefusesRequestsFromWebPages) {
  for (const std::string header : {"Origin: http://evil.example", "origin:null", "Sec-Fetch-Mode: no-cors",
                                   "sec-fetch-site: cross-site"}) {
    const auto r = frameRequest("POST / HTTP/1.1\r\n" + header + "\r\nContent-Length: 2\r\n\r\n{}", false);
    ASSERT_EQ(r.status, FrameStatus::reject) << header;
    EXPECT_EQ(r.rejection.status, "403 Forbidden");
    EXPECT_EQ(r.rejection.body, R"({"error":"forbidden"})");
  }
  // Also a GET read, and before the body has arrived.
  EXPECT_EQ(frameRequest("GET /responses HTTP/1.1\r\nOrigin: x\r\n\r\n", false).status, FrameStatus::reject);
  EXPECT_EQ(frameRequest("POST / HTTP/1.1\r\nSec-Fetch-Dest: empty\r\nContent-Length: 99\r\n\r\n", false).status,
            FrameStatus::reject);
  // A header that merely mentions the word is fine.
  EXPECT_EQ(frameRequest("GET /tabs HTTP/1.1\r\nX-Origin: x\r\n\r\n", false).status, FrameStatus::ready);
}

TEST(HttpFramingTest, LimitsHeaderAndBodySize) {
  const std::string bigHeader = "POST / HTTP/1.1\r\nX: " + std::string(kMaxHeaderBytes, 'a');
  auto r = frameRequest(bigHeader, false);
  EXPECT_EQ(r.status, FrameStatus::reject);
  EXPECT_EQ(r.rejection.status, "431 Request Header Fields Too Large");
  EXPECT_EQ(frameRequest(bigHeader + "\r\n\r\n", false).rejection.status, "431 Request Header Fields Too Large");
  EXPECT_EQ(frameRequest(std::string(kMaxHeaderBytes - 100, 'a'), false).status, FrameStatus::needMore);

  r = frameRequest("POST /attach HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBodyBytes + 1) + "\r\n\r\n", false);
  EXPECT_EQ(r.status, FrameStatus::reject);
  EXPECT_EQ(r.rejection.status, "413 Payload Too Large");
  EXPECT_EQ(frameRequest("POST /attach HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBodyBytes) + "\r\n\r\n",
                         false)
                .status,
            FrameStatus::needMore);
}

TEST(HttpFramingTest, ResponseHasThreeHeadersInOrderAndAByteLength) {
  EXPECT_EQ(serializeResponse({"200 OK", "{\"t\":\"\u00E9\u4E2D\"}"}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 13\r\n"
            "Connection: close\r\n\r\n{\"t\":\"\u00E9\u4E2D\"}");
}

}  // namespace
}  // namespace deskwave
