#include "platform/crypto.h"

#include <openssl/evp.h>

namespace deskwave {

Sha256Digest sha256(std::string_view data) {
  Sha256Digest digest{};
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

std::string sha256Hex(std::string_view data) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (auto byte : sha256(data)) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

}  // namespace deskwave
