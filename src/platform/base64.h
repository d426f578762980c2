#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/settings_store.h"  // Bytes

namespace deskwave {

// Standard Base64 with padding.
std::string base64Encode(const Bytes& data);
std::string base64Encode(std::string_view data);

// Strict standard Base64: the length is a multiple of four, every character is
// from the alphabet, and "=" appears only as one or two final padding
// characters. Anything else (white space and line breaks included) fails.
std::optional<Bytes> base64Decode(std::string_view text);

// base64url without padding (as in JSON Web Tokens).
std::string base64UrlEncode(const Bytes& data);
std::string base64UrlEncode(std::string_view data);
// Accepts base64url with or without padding; fails on any other character.
std::optional<Bytes> base64UrlDecode(std::string_view text);

}  // namespace deskwave
