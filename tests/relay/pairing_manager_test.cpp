#include "relay/pairing_manager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "platform/memory_settings_store.h"

namespace deskwave {
namespace {

// Digests computed outside the program, with
//   printf '%s' '<secret>:Deskwave-room-v1' | sha256sum
//   printf '%s' '<secret>:Deskwave-key-v1' | sha256sum
constexpr const char* kRoomAbc = "ba48924ea48591ce970d0d754718db8ed9c92348aa6618a5a37663ebb2f23b3c";
constexpr const char* kRoomEmpty = "cc8dcf377ae3a52a6d5fbfad4b6c0067eebaa838996b303e41daf71fc34a63b4";
constexpr const char* kRoomMixedAbc = "05805a2f576e97029ae71471d389508bea37b0b07b579e8eb6e197776cacf996";  // "AbC"
constexpr const char* kRoom1234 = "df4cc124cdfc9cac8637fbf425af977110f24e53f9c9451a853c84d4ab4686b4";
constexpr const char* kKeyAbc = "06b90bb2f90dad7828340ebfffa2788a3856c62bb4666aeab5d8c095fd18c0d3";
constexpr const char* kKeyMixedAbc = "e43591852c998a48182d54c29a2074ee7aa5b6de8788deae5fa708d9a331407a";  // "AbC"

std::string hex(const SymmetricKey& key) {
  std::string out;
  char byte[3];
  for (auto b : key) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    out += byte;
  }
  return out;
}

class PairingManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<PairingManager> make(std::optional<std::string> pin, std::optional<std::string> account) {
    if (pin) settings->setString("deskwave.relay.pin", *pin);
    if (account) settings->setString("deskwave.relay.account", *account);
    return std::make_unique<PairingManager>(settings);
  }

  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
};

TEST_F(PairingManagerTest, LoadsPinAndAccountFromSettings) {
  const auto pairing = make("0042", "user-7");
  EXPECT_EQ(pairing->pin.get(), "0042");
  EXPECT_EQ(pairing->accountId.get(), "user-7");

  settings = std::make_shared<MemorySettingsStore>();
  const auto empty = make(std::nullopt, std::nullopt);
  EXPECT_EQ(empty->pin.get(), std::nullopt);
  EXPECT_EQ(empty->accountId.get(), std::nullopt);
}

TEST_F(PairingManagerTest, SetAccountStoresLowerCaseAndFlushes) {
  const auto pairing = make("1234", std::nullopt);
  pairing->setAccount("User-ABC.Ä");
  EXPECT_EQ(pairing->accountId.get(), "user-abc.ä");
  EXPECT_EQ(settings->getString("deskwave.relay.account"), "user-abc.ä");
  EXPECT_EQ(settings->flushCount(), 1);

  pairing->setAccount("Other");
  EXPECT_EQ(pairing->accountId.get(), "other");
  EXPECT_EQ(settings->getString("deskwave.relay.account"), "other");
  EXPECT_EQ(settings->flushCount(), 2);
}

TEST_F(PairingManagerTest, SetAccountWritesNothingWhenUnchanged) {
  const auto pairing = make(std::nullopt, "user-abc");
  // Changed behind the manager's back, so that any write would show.
  settings->setString("deskwave.relay.account", "sentinel");

  for (const char* same : {"user-abc", "USER-ABC", "User-Abc"}) {
    pairing->setAccount(same);
    EXPECT_EQ(settings->flushCount(), 0) << same;
    EXPECT_EQ(settings->getString("deskwave.relay.account"), "sentinel") << same;
    EXPECT_EQ(pairing->accountId.get(), "user-abc") << same;
  }

  pairing->setAccount("user-abd");
  EXPECT_EQ(settings->flushCount(), 1);
  EXPECT_EQ(settings->getString("deskwave.relay.account"), "user-abd");
}

TEST_F(PairingManagerTest, SecretPrefersTheAccountOverThePin) {
  struct Case {
    std::optional<std::string> pin;
    std::optional<std::string> account;
    std::optional<std::string> secret;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"AbC", std::nullopt, "AbC"},
      {std::nullopt, "abc", "abc"},
      {"1234", "abc", "abc"},
      {"1234", "", ""},
      {"", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    settings = std::make_shared<MemorySettingsStore>();
    const auto pairing = make(c.pin, c.account);
    const std::string label = c.pin.value_or("<none>") + " / " + c.account.value_or("<none>");
    EXPECT_EQ(pairing->secret(), c.secret) << label;
    EXPECT_EQ(pairing->symmetricKey().has_value(), c.secret.has_value()) << label;
  }
}

TEST_F(PairingManagerTest, RoomIdIsLowerCaseSha256Hex) {
  EXPECT_EQ(PairingManager::roomId("abc"), kRoomAbc);
  EXPECT_EQ(PairingManager::roomId(""), kRoomEmpty);
  EXPECT_EQ(PairingManager::roomId("1234"), kRoom1234);
  EXPECT_EQ(PairingManager::roomId("AbC"), kRoomMixedAbc);
  EXPECT_NE(PairingManager::roomId("ABC"), PairingManager::roomId("abc")) << "secrets are case-sensitive";

  const auto room = PairingManager::roomId("any secret \u00E9");
  ASSERT_EQ(room.size(), 64u);
  EXPECT_EQ(room.find_first_not_of("0123456789abcdef"), std::string::npos) << room;
}

TEST_F(PairingManagerTest, KeyAndRoomComeFromTheAccountWhenPaired) {
  const auto pairing = make("AbC", std::nullopt);
  const auto pinKey = pairing->symmetricKey();
  pairing->setAccount("ABC");  // stored lower-cased, so the digests are those of "abc"
  ASSERT_EQ(pairing->secret(), "abc");
  EXPECT_EQ(PairingManager::roomId(*pairing->secret()), kRoomAbc);
  ASSERT_TRUE(pinKey && pairing->symmetricKey());
  EXPECT_EQ(hex(*pairing->symmetricKey()), kKeyAbc);
  EXPECT_NE(*pairing->symmetricKey(), *pinKey) << "the key must follow the new secret";
}

TEST_F(PairingManagerTest, KeyAndRoomComeFromThePinAsStored) {
  const auto pairing = make("AbC", std::nullopt);
  ASSERT_EQ(pairing->secret(), "AbC");
  EXPECT_EQ(PairingManager::roomId(*pairing->secret()), kRoomMixedAbc);
  ASSERT_TRUE(pairing->symmetricKey().has_value());
  EXPECT_EQ(hex(*pairing->symmetricKey()), kKeyMixedAbc);
}

}  // namespace
}  // namespace deskwave
