#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "delivery/outbox_item.h"
#include "relay/pairing_manager.h"

namespace deskwave::wire {

// An envelope from the relay service.
struct InboundMsg {
  std::string type;                 // "joined", "peer_joined", "peer_left", "message", …
  std::optional<std::string> data;  // sealed payload in Base64
  std::optional<std::int64_t> peers;
};

// nullopt when the text is not a JSON object with a string "type" and
// correctly typed optional keys.
std::optional<InboundMsg> decodeInbound(std::string_view text);

std::string encodeJoin(const std::string& roomId);
// An "message" envelope carrying `sealedBase64`.
std::string encodeOutbound(const std::string& sealedBase64);

// Payload records, compact JSON.
std::string encodeResponsePayload(const OutboxItem& item);
std::string encodeTabsPayload(const std::vector<std::string>& tabs);
std::string encodePromptPayload(const std::string& target, const std::string& text);
std::string encodeAckPayload(const std::string& ackId);

// Seals `plaintext` under `key` with a fresh nonce; Base64 of nonce||ciphertext||tag.
std::string seal(const SymmetricKey& key, std::string_view plaintext);
// The same with a given nonce (for checking against other implementations).
std::string sealWithNonce(const SymmetricKey& key, const std::array<std::uint8_t, 12>& nonce, std::string_view plaintext);

// Why a "message" could not be opened; `text` is its form in log lines.
struct OpenError {
  std::string text;
};
std::variant<std::string, OpenError> open(const SymmetricKey& key, std::string_view sealedBase64);

struct Ack {
  std::string ackId;
};
struct Prompt {
  std::string target;
  std::string text;
};
struct ReplyRecord {};  // a reply echoed back: never a prompt
struct Unknown {};
using Payload = std::variant<Ack, ReplyRecord, Prompt, Unknown>;

// Classifies an opened payload: acknowledgement, then reply, then prompt.
Payload classify(std::string_view plaintext);

}  // namespace deskwave::wire
