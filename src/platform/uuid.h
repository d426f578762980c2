#pragma once

#include <string>

namespace deskwave {

// A new random (version 4) UUID in canonical upper-case form, 8-4-4-4-12.
std::string newUuid();

// True when `text` is a canonical UUID (either letter case).
bool isCanonicalUuid(const std::string& text);

}  // namespace deskwave
