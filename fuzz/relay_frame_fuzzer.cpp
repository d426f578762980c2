// Feeds arbitrary frames to the relay client's inbound path: envelope decoding,
// Base64, opening and payload classification.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base64.h"
#include "platform/crypto.h"
#include "relay/relay_wire.h"

using namespace deskwave;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const SymmetricKey key = sha256("fuzz:Deskwave-key-v1");
  const std::string frame(reinterpret_cast<const char*>(data), size);

  if (auto msg = wire::decodeInbound(frame); msg && msg->data) {
    auto opened = wire::open(key, *msg->data);
    if (auto* plain = std::get_if<std::string>(&opened)) wire::classify(*plain);
  }
  // The same bytes as a sealed payload and as an opened one.
  if (auto bytes = base64Decode(frame)) {
    if (base64Decode(base64Encode(*bytes)) != bytes) __builtin_trap();
  }
  wire::open(key, frame);
  wire::classify(frame);
  // What we seal we must open again.
  auto opened = wire::open(key, wire::seal(key, frame));
  if (std::get<std::string>(opened) != frame) __builtin_trap();
  return 0;
}
