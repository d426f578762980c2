#include "platform/uuid.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/crypto.h"

namespace deskwave {
namespace {

TEST(UuidTest, NewIdsAreCanonicalUpperCaseVersionFourAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const auto id = newUuid();
    ASSERT_TRUE(isCanonicalUuid(id)) << id;
    EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos) << id;
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UuidTest, RecognisesTheCanonicalForm) {
  EXPECT_TRUE(isCanonicalUuid("123E4567-E89B-12D3-A456-426614174000"));
  EXPECT_TRUE(isCanonicalUuid("123e4567-e89b-12d3-a456-426614174000"));
  for (const std::string bad : {"", "123E4567E89B12D3A456426614174000", "123E4567-E89B-12D3-A456-42661417400",
                                "123E4567-E89B-12D3-A456-4266141740000", "123E4567-E89B-12D3-A456_426614174000",
                                "G23E4567-E89B-12D3-A456-426614174000"})
    EXPECT_FALSE(isCanonicalUuid(bad)) << bad;
}

TEST(CryptoTest, Sha256KnownAnswers) {
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(CryptoTest, AesGcmRoundTripsAndRejectsTampering) {
  Aes256Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  const auto sealed = aesGcmSeal(key, randomNonce(), "hello");
  ASSERT_EQ(sealed.size(), 12u + 5u + 16u);
  EXPECT_EQ(aesGcmOpen(key, sealed), "hello");
  for (std::size_t i = 0; i < sealed.size(); i += 7) {
    auto tampered = sealed;
    tampered[i] ^= 0x01;
    EXPECT_FALSE(aesGcmOpen(key, tampered)) << "byte " << i;
  }
  auto otherKey = key;
  otherKey[0] ^= 1;
  EXPECT_FALSE(aesGcmOpen(otherKey, sealed));
  EXPECT_FALSE(aesGcmOpen(key, std::vector<std::uint8_t>(27)));
  EXPECT_EQ(aesGcmOpen(key, aesGcmSeal(key, randomNonce(), "")), "");
}

}  // namespace
}  // namespace deskwave
