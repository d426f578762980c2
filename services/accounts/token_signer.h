#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/settings_store.h"  // Bytes

namespace deskwave::accounts {

// Signs and checks JSON Web Tokens with HMAC-SHA256 ("HS256") under one secret.
class TokenSigner {
 public:
  static constexpr std::size_t kSecretBytes = 32;

  explicit TokenSigner(Bytes secret) : secret_(std::move(secret)) {}

  // Reads the secret kept at `file`, or creates one (32 random bytes, mode
  // 0600) when there is none. Throws std::runtime_error when the file cannot be
  // read or written, or holds something other than a secret: a secret is never
  // silently replaced, since that would invalidate every token handed out.
  static Bytes loadOrCreateSecret(const std::filesystem::path& file);

  // header.payload.signature, base64url without padding.
  std::string sign(const nlohmann::json& claims) const;
  // The claims of a token signed with this secret and the HS256 header, or
  // nullopt. Expiry is the caller's business.
  std::optional<nlohmann::json> verify(const std::string& token) const;

 private:
  Bytes mac(std::string_view signingInput) const;

  Bytes secret_;
};

}  // namespace deskwave::accounts
