#include "platform/base64.h"

#include <gtest/gtest.h>

namespace deskwave {
namespace {

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Base64Test, KnownVectorsRoundTrip) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {std::string("\0\xff\xfe", 3), "AP/+"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(plain), encoded);
    auto decoded = base64Decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(*decoded, bytes(plain));
  }
}

TEST(Base64Test, DecodingIsStrict) {
  for (const std::string bad : {"Zm9v\n", "Zm9 v", " Zm9v", "Zm9vY", "Zm=v", "Z===", "Zg==Zg==", "Zm9-", "Zm9_",
                                "Zm9v=", "=Zm9", "Zg=\r\n"}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
  EXPECT_FALSE(base64Decode(std::string("Zm9vYg=\0", 8)));
}

TEST(Base64Test, UrlFormHasNoPaddingAndDecodesEitherWay) {
  const auto data = bytes("\xfb\xff\xbf?");
  EXPECT_EQ(base64Encode(data), "+/+/Pw==");
  EXPECT_EQ(base64UrlEncode(data), "-_-_Pw");
  for (const std::string form : {"-_-_Pw", "-_-_Pw=="}) {
    auto decoded = base64UrlDecode(form);
    ASSERT_TRUE(decoded) << form;
    EXPECT_EQ(*decoded, data);
  }
  EXPECT_FALSE(base64UrlDecode("+/+/Pw"));
  EXPECT_FALSE(base64UrlDecode("abcde"));
}

}  // namespace
}  // namespace deskwave
