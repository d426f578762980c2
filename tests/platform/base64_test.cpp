#include "platform/base64.h"

#include <gtest/gtest.h>

#include <optional>

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

TEST(Base64Test, EveryLengthAndByteValueRoundTrips) {
  // Lengths across several padding cycles, with every byte value appearing.
  for (std::size_t size = 0; size <= 70; ++size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + size * 11);
    const auto standard = base64Encode(data);
    EXPECT_EQ(standard.size(), (size + 2) / 3 * 4) << size;
    EXPECT_EQ(base64Decode(standard), data) << standard;
    const auto url = base64UrlEncode(data);
    EXPECT_EQ(url.find_first_of("+/="), std::string::npos) << url;
    EXPECT_EQ(base64UrlDecode(url), data) << url;
  }
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(base64Decode(base64Encode(all)), all);
  EXPECT_EQ(base64UrlDecode(base64UrlEncode(all)), all);
}

TEST(Base64Test, DecodingRejectsNonAsciiAndControlBytes) {
  const std::string cases[] = {"Zm9\x80", "Zm\xc3\xa9", std::string("Zm\0v", 4), "Zm9\t", "\xff\xff\xff\xff"};
  for (const auto& bad : cases) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
    EXPECT_FALSE(base64UrlDecode(bad)) << bad;
  }
}

TEST(Base64Test, UrlDecodingAcceptsExactPaddingOrNone) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", ""},
      {"Zg", "f"},
      {"Zg==", "f"},
      {"Zm8", "fo"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zg=", std::nullopt},       // partial padding
      {"Zg===", std::nullopt},     // too much padding
      {"Zm8==", std::nullopt},
      {"Zm9v=", std::nullopt},     // padding where none belongs
      {"Zm9v====", std::nullopt},
      {"=", std::nullopt},
      {"Z", std::nullopt},         // one character cannot hold a byte
      {"Zm9vY", std::nullopt},
      {"Zg==Zg", std::nullopt},    // padding in the middle
      {"Zm 9v", std::nullopt},
      {"Zm9v\n", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    const auto decoded = base64UrlDecode(text);
    if (expected) {
      ASSERT_TRUE(decoded) << text;
      EXPECT_EQ(*decoded, bytes(*expected)) << text;
    } else {
      EXPECT_FALSE(decoded) << text;
    }
  }
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
