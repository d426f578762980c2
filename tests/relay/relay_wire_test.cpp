#include "relay/relay_wire.h"
#include "relay/websocket_relay_client.h"

#include <gtest/gtest.h>

#include "platform/base64.h"
#include "platform/crypto.h"

namespace deskwave {
namespace {

const SymmetricKey kKey = sha256("abc:Deskwave-key-v1");

// Sealed once with Node's crypto module (AES-256-GCM, nonce 00..0b, no AAD).
const std::string kNodeSealed =
    "AAECAwQFBgcICQoLY1kX004vXUOdVEXwMXdcs5YbgRaB34Fu04uf36TAz16kqz3E/f+Ooo+6U4IcfL4=";
const std::string kNodePlain = R"({"target":"cursor","text":"hi"})";

TEST(RelayWireTest, InteroperatesWithAStandardAesGcm) {
  auto opened = wire::open(kKey, kNodeSealed);
  ASSERT_TRUE(std::holds_alternative<std::string>(opened));
  EXPECT_EQ(std::get<std::string>(opened), kNodePlain);
  std::array<std::uint8_t, 12> nonce{};
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(wire::sealWithNonce(kKey, nonce, kNodePlain), kNodeSealed);
}

TEST(RelayWireTest, EverySealUsesAFreshNonce) {
  const auto a = wire::seal(kKey, "same");
  const auto b = wire::seal(kKey, "same");
  EXPECT_NE(a, b);
  EXPECT_EQ(std::get<std::string>(wire::open(kKey, a)), "same");
  EXPECT_EQ(std::get<std::string>(wire::open(kKey, b)), "same");
  const auto empty = wire::seal(kKey, "");
  EXPECT_EQ(base64Decode(empty)->size(), 28u);
  EXPECT_EQ(std::get<std::string>(wire::open(kKey, empty)), "");
  EXPECT_TRUE(std::holds_alternative<wire::Unknown>(wire::classify("")));
}

TEST(RelayWireTest, OpeningFailuresNameTheirCause) {
  auto withBreak = kNodeSealed;
  withBreak.insert(20, "\n");
  auto tampered = *base64Decode(kNodeSealed);
  tampered[15] ^= 1;
  SymmetricKey otherKey = kKey;
  otherKey[0] ^= 1;
  const std::pair<std::variant<std::string, wire::OpenError>, std::string> cases[] = {
      {wire::open(kKey, withBreak), "badBase64"},
      {wire::open(kKey, "AAEC"), "sealed payload too short"},
      {wire::open(kKey, base64Encode(tampered)), "authenticationFailure"},
      {wire::open(otherKey, kNodeSealed), "authenticationFailure"},
  };
  for (const auto& [result, text] : cases) {
    ASSERT_TRUE(std::holds_alternative<wire::OpenError>(result)) << text;
    EXPECT_EQ(std::get<wire::OpenError>(result).text, text);
  }
}

TEST(RelayWireTest, ClassifiesAcknowledgementThenReplyThenPrompt) {
  auto isAck = [](std::string_view p) { return std::holds_alternative<wire::Ack>(wire::classify(p)); };
  auto isReply = [](std::string_view p) { return std::holds_alternative<wire::ReplyRecord>(wire::classify(p)); };
  auto isPrompt = [](std::string_view p) { return std::holds_alternative<wire::Prompt>(wire::classify(p)); };
  auto isUnknown = [](std::string_view p) { return std::holds_alternative<wire::Unknown>(wire::classify(p)); };
  EXPECT_TRUE(isAck(R"({"ackId":"A","target":"cursor","text":"x","id":"1","role":"user"})"));
  EXPECT_TRUE(isReply(R"({"id":"1","target":"cursor","text":"x","role":"assistant","isResponse":false})"));
  EXPECT_TRUE(isPrompt(R"({"target":"cursor","text":"x","extra":[1]})"));
  EXPECT_TRUE(isUnknown(R"({"tabs":["Cursor"]})"));
  EXPECT_TRUE(isUnknown(R"({"ackId":5})"));
  EXPECT_TRUE(isUnknown(R"({"target":"cursor"})"));
  EXPECT_TRUE(isUnknown("not json"));
  EXPECT_TRUE(isUnknown(R"(["target","text"])"));
  const auto prompt = std::get<wire::Prompt>(wire::classify(R"({"target":"Codex","text":"fix"})"));
  EXPECT_EQ(prompt.target, "Codex");
  EXPECT_EQ(prompt.text, "fix");
  EXPECT_EQ(std::get<wire::Ack>(wire::classify(R"({"ackId":"ID-1"})")).ackId, "ID-1");
}

TEST(RelayWireTest, EnvelopesDecodeStrictlyAndIgnoreUnknownKeys) {
  auto joined = wire::decodeInbound(R"({"type":"joined"})");
  ASSERT_TRUE(joined);
  EXPECT_FALSE(joined->peers) << "absent peers";
  auto message = wire::decodeInbound(R"({"type":"message","data":"QQ==","peers":2,"x":{}})");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->data, "QQ==");
  EXPECT_EQ(message->peers, 2);
  for (const std::string bad : {R"({"data":"x"})", R"({"type":1})", R"({"type":"joined","peers":"2"})",
                                R"({"type":"message","data":5})", "[]", "{"})
    EXPECT_FALSE(wire::decodeInbound(bad)) << bad;
}

TEST(RelayWireTest, OutgoingRecordsAreCompactJson) {
  EXPECT_EQ(wire::encodeJoin("ab"), R"({"roomId":"ab","type":"join"})");
  EXPECT_EQ(wire::encodeOutbound("QQ=="), R"({"data":"QQ==","type":"message"})");
  EXPECT_EQ(wire::encodeTabsPayload({"Cursor", "Zed"}), R"({"tabs":["Cursor","Zed"]})");
  EXPECT_EQ(wire::encodeResponsePayload({"I", "cursor", "t", "assistant"}),
            R"({"id":"I","isResponse":true,"role":"assistant","target":"cursor","text":"t"})");
}

TEST(RelayAddressTest, ScanGoesToTheRelayHost) {
  EXPECT_EQ(scanURLFor("ws://127.0.0.1:9000"), "http://127.0.0.1:9000/scan");
  EXPECT_EQ(scanURLFor("wss://relay.example.org"), "https://relay.example.org:443/scan");
  EXPECT_EQ(scanURLFor("ws://[::1]:8080/"), "http://[::1]:8080/scan");
  EXPECT_EQ(scanURLFor("ws://relay.example.org"), "http://relay.example.org:80/scan");
  EXPECT_EQ(scanURLFor("ftp://x"), "");
}

TEST(RelayAddressTest, UrlsAreParsedStrictly) {
  const auto url = parseUrl("wss://relay.example.org:8443/path?q=1");
  ASSERT_TRUE(url);
  EXPECT_TRUE(url->tls);
  EXPECT_EQ(url->host, "relay.example.org");
  EXPECT_EQ(url->port, "8443");
  EXPECT_EQ(url->target, "/path?q=1");
  for (const std::string bad : {"", "ws://", "relay.example.org", "ws://:80", "ws://host:port", "ws://[::1"})
    EXPECT_FALSE(parseUrl(bad)) << bad;
}

}  // namespace
}  // namespace deskwave
