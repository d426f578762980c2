#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>
#include <cstdint>
#include <string>
#include <string_view>

namespace deskwave {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Aes256Key = std::array<std::uint8_t, 32>;
using GcmNonce = std::array<std::uint8_t, 12>;

Sha256Digest sha256(std::string_view data);
// The digest as 64 lower-case hexadecimal characters.
std::string sha256Hex(std::string_view data);

// Bytes from OpenSSL's cryptographic random source.
std::vector<std::uint8_t> randomBytes(std::size_t count);
GcmNonce randomNonce();

// AES-256-GCM without associated data, in the combined form
// nonce (12 bytes) || ciphertext || tag (16 bytes).
std::vector<std::uint8_t> aesGcmSeal(const Aes256Key& key, const GcmNonce& nonce, std::string_view plaintext);
// Opens the combined form; nullopt when it is too short or fails authentication.
std::optional<std::string> aesGcmOpen(const Aes256Key& key, const std::vector<std::uint8_t>& combined);

}  // namespace deskwave
