#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

struct evp_pkey_st;

namespace deskwave {

// ECDSA over P-256 with SHA-256 ("ES256" of JSON Web Tokens), with signatures in
// the raw form r || s (32 bytes each, big-endian, left-padded with zeros).
using Es256Signature = std::array<std::uint8_t, 64>;

// A P-256 private key loaded from PEM. Copies share the same key.
class Es256PrivateKey {
 public:
  // Accepts a PEM private key ("PRIVATE KEY", PKCS#8, or "EC PRIVATE KEY") on the
  // P-256 curve; nullopt for anything else, including encrypted keys (no
  // password is ever asked for).
  static std::optional<Es256PrivateKey> fromPem(std::string_view pem);

  // nullopt only when OpenSSL fails to sign.
  std::optional<Es256Signature> sign(std::string_view data) const;

 private:
  explicit Es256PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}
  std::shared_ptr<evp_pkey_st> key_;
};

// Checks a raw r || s signature of `data` against a PEM public key
// ("PUBLIC KEY"); false when the key is not a P-256 public key or the signature
// does not match.
bool es256Verify(std::string_view publicKeyPem, std::string_view data, const Es256Signature& signature);

}  // namespace deskwave
