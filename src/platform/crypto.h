#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace deskwave {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::string_view data);
// The digest as 64 lower-case hexadecimal characters.
std::string sha256Hex(std::string_view data);

}  // namespace deskwave
