#pragma once

// Fresh P-256 keys (and a self-signed loopback certificate) made with OpenSSL,
// as PEM text, for the push tests.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace deskwave::testing {

struct P256KeyPair {
  std::string privatePem;  // PKCS#8 "PRIVATE KEY"
  std::string publicPem;   // "PUBLIC KEY"
  std::shared_ptr<EVP_PKEY> key;
};

namespace p256_detail {
inline std::string drain(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return out;
}
}  // namespace p256_detail

inline P256KeyPair makeP256KeyPair() {
  std::shared_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) throw std::runtime_error("P-256 key generation failed");
  BIO* priv = BIO_new(BIO_s_mem());
  BIO* pub = BIO_new(BIO_s_mem());
  PEM_write_bio_PKCS8PrivateKey(priv, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_bio_PUBKEY(pub, key.get());
  return {p256_detail::drain(priv), p256_detail::drain(pub), key};
}

// A self-signed certificate for IP 127.0.0.1 (also its own CA), valid for a day.
inline std::string makeLoopbackCertificate(const P256KeyPair& pair) {
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), pair.key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (const auto& [nid, value] :
       {std::pair{NID_basic_constraints, "critical,CA:TRUE"}, std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
        std::pair{NID_subject_key_identifier, "hash"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("certificate extension failed");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert.get(), pair.key.get(), EVP_sha256()) == 0) throw std::runtime_error("certificate signing failed");
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(out, cert.get());
  return p256_detail::drain(out);
}

}  // namespace deskwave::testing
