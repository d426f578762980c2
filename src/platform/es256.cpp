#include "platform/es256.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace deskwave {
namespace {

constexpr int kCoordinateSize = 32;

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

Bio memoryBio(std::string_view text) {
  if (text.size() > INT_MAX) return Bio(nullptr, BIO_free);
  return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free);
}

// Refuses to decrypt: without this OpenSSL would prompt on the terminal.
int noPassword(char*, int, int, void*) { return -1; }

std::shared_ptr<evp_pkey_st> ownKey(EVP_PKEY* key) { return std::shared_ptr<evp_pkey_st>(key, EVP_PKEY_free); }

bool isP256(const EVP_PKEY* key) {
  if (!key || !EVP_PKEY_is_a(key, "EC")) return false;
  char group[64] = {};
  size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1) return false;
  return std::strcmp(group, SN_X9_62_prime256v1) == 0;
}

}  // namespace

std::optional<Es256PrivateKey> Es256PrivateKey::fromPem(std::string_view pem) {
  auto bio = memoryBio(pem);
  if (!bio) return std::nullopt;
  auto key = ownKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr));
  if (!key || !isP256(key.get())) return std::nullopt;
  return Es256PrivateKey(std::move(key));
}

std::optional<Es256Signature> Es256PrivateKey::sign(std::string_view data) const {
  DigestContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  size_t derSize = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &derSize, bytes, data.size()) != 1)
    return std::nullopt;
  std::vector<unsigned char> der(derSize);
  if (EVP_DigestSign(ctx.get(), der.data(), &derSize, bytes, data.size()) != 1) return std::nullopt;

  // OpenSSL produces the DER sequence of two integers; JWTs want them raw.
  const unsigned char* cursor = der.data();
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSize)), ECDSA_SIG_free);
  if (!sig) return std::nullopt;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  Es256Signature raw{};
  if (BN_bn2binpad(r, raw.data(), kCoordinateSize) != kCoordinateSize ||
      BN_bn2binpad(s, raw.data() + kCoordinateSize, kCoordinateSize) != kCoordinateSize)
    return std::nullopt;
  return raw;
}

bool es256Verify(std::string_view publicKeyPem, std::string_view data, const Es256Signature& signature) {
  auto bio = memoryBio(publicKeyPem);
  if (!bio) return false;
  auto key = ownKey(PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassword, nullptr));
  if (!key || !isP256(key.get())) return false;

  EcdsaSig sig(ECDSA_SIG_new(), ECDSA_SIG_free);
  if (!sig) return false;
  BIGNUM* r = BN_bin2bn(signature.data(), kCoordinateSize, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr);
  if (!r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
  if (derSize <= 0) return false;
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(der, [](unsigned char* p) { OPENSSL_free(p); });

  DigestContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), der, static_cast<size_t>(derSize),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

}  // namespace deskwave
