#pragma once

#include <string>
#include <string_view>

namespace deskwave::accounts {

// Slow salted password hashes: PBKDF2-HMAC-SHA256 with a random 16-byte salt,
// stored as "pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>" so that
// the iteration count can be raised without invalidating older hashes.
std::string hashPassword(std::string_view password, int iterations);
// False also for a stored text that is not in the form above.
bool verifyPassword(std::string_view password, std::string_view stored);

// Checks the pool's password policy: at least 8 characters, with an upper-case
// and a lower-case letter, a digit and a symbol. Returns the message of the
// first rule broken (worded as the service words it), or an empty string.
std::string passwordPolicyViolation(std::string_view password);

}  // namespace deskwave::accounts
