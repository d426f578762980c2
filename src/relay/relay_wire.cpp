#include "relay/relay_wire.h"

#include "platform/base64.h"
#include "platform/crypto.h"
#include "platform/json_decode.h"

namespace deskwave::wire {
namespace {

using Json = nlohmann::json;

// Compact JSON; invalid UTF-8 in a value is replaced rather than failing the send.
std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool hasString(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string();
}

}  // namespace

std::optional<InboundMsg> decodeInbound(std::string_view text) {
  return json::parse(text, [](const Json& j) {
    InboundMsg msg;
    msg.type = json::requireString(j, "type");
    msg.data = json::optionalString(j, "data");
    if (j.contains("peers") && !j.at("peers").is_null()) {
      const auto& peers = j.at("peers");
      if (!peers.is_number_integer()) throw json::DecodeError("\"peers\" is not an integer");
      msg.peers = peers.get<std::int64_t>();
    }
    return msg;
  });
}

std::string encodeJoin(const std::string& roomId) { return dump({{"type", "join"}, {"roomId", roomId}}); }

std::string encodeOutbound(const std::string& sealedBase64) {
  return dump({{"type", "message"}, {"data", sealedBase64}});
}

std::string encodeResponsePayload(const OutboxItem& item) {
  return dump({{"id", item.id}, {"target", item.target}, {"text", item.text}, {"role", item.role}, {"isResponse", true}});
}

std::string encodeTabsPayload(const std::vector<std::string>& tabs) { return dump({{"tabs", tabs}}); }

std::string encodePromptPayload(const std::string& target, const std::string& text) {
  return dump({{"target", target}, {"text", text}});
}

std::string encodeAckPayload(const std::string& ackId) { return dump({{"ackId", ackId}}); }

std::string sealWithNonce(const SymmetricKey& key, const std::array<std::uint8_t, 12>& nonce,
                          std::string_view plaintext) {
  const auto combined = aesGcmSeal(key, nonce, plaintext);
  return combined.empty() ? std::string() : base64Encode(combined);
}

std::string seal(const SymmetricKey& key, std::string_view plaintext) {
  return sealWithNonce(key, randomNonce(), plaintext);
}

std::variant<std::string, OpenError> open(const SymmetricKey& key, std::string_view sealedBase64) {
  const auto combined = base64Decode(sealedBase64);
  if (!combined) return OpenError{"badBase64"};
  if (combined->size() < 28) return OpenError{"sealed payload too short"};
  auto plain = aesGcmOpen(key, *combined);
  if (!plain) return OpenError{"authenticationFailure"};
  return std::move(*plain);
}

Payload classify(std::string_view plaintext) {
  const auto j = Json::parse(plaintext, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return Unknown{};
  if (hasString(j, "ackId")) return Ack{j.at("ackId").get<std::string>()};
  if (hasString(j, "id") && hasString(j, "target") && hasString(j, "text") && hasString(j, "role")) return ReplyRecord{};
  if (hasString(j, "target") && hasString(j, "text"))
    return Prompt{j.at("target").get<std::string>(), j.at("text").get<std::string>()};
  return Unknown{};
}

}  // namespace deskwave::wire
