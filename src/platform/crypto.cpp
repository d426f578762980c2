#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <random>

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

std::vector<std::uint8_t> randomBytes(std::size_t count) {
  std::vector<std::uint8_t> out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    // Only a broken system gets here; never hand out predictable zeros.
    std::random_device rd;
    for (auto& b : out) b = static_cast<std::uint8_t>(rd());
  }
  return out;
}

GcmNonce randomNonce() {
  GcmNonce nonce{};
  const auto bytes = randomBytes(nonce.size());
  std::copy(bytes.begin(), bytes.end(), nonce.begin());
  return nonce;
}

namespace {
constexpr std::size_t kTagSize = 16;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
}  // namespace

std::vector<std::uint8_t> aesGcmSeal(const Aes256Key& key, const GcmNonce& nonce, std::string_view plaintext) {
  std::vector<std::uint8_t> out(nonce.size() + plaintext.size() + kTagSize);
  std::copy(nonce.begin(), nonce.end(), out.begin());
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int len = 0;
  auto* cipher = out.data() + nonce.size();
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), cipher, &len, reinterpret_cast<const unsigned char*>(plaintext.data()),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), cipher + len, &len) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, cipher + plaintext.size()) != 1)
    return {};
  return out;
}

std::optional<std::string> aesGcmOpen(const Aes256Key& key, const std::vector<std::uint8_t>& combined) {
  constexpr std::size_t kNonceSize = std::tuple_size_v<GcmNonce>;
  if (combined.size() < kNonceSize + kTagSize) return std::nullopt;
  const std::size_t size = combined.size() - kNonceSize - kTagSize;
  std::string plain(size, '\0');
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int len = 0;
  std::array<unsigned char, kTagSize> tag{};
  std::copy(combined.end() - kTagSize, combined.end(), tag.begin());
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), combined.data()) != 1 ||
      EVP_DecryptUpdate(ctx.get(), out, &len, combined.data() + kNonceSize, static_cast<int>(size)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), out + len, &len) != 1)
    return std::nullopt;
  return plain;
}

}  // namespace deskwave
