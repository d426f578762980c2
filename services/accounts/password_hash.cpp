#include "password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <vector>

#include "platform/base64.h"
#include "platform/crypto.h"

namespace deskwave::accounts {
namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr int kMaxIterations = 10'000'000;  // a stored count above this is not ours

Bytes derive(std::string_view password, const Bytes& salt, int iterations) {
  Bytes out(kHashBytes);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                        iterations, EVP_sha256(), static_cast<int>(out.size()), out.data()) != 1)
    out.clear();
  return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

std::string hashPassword(std::string_view password, int iterations) {
  iterations = std::clamp(iterations, 1, kMaxIterations);
  const Bytes salt = randomBytes(kSaltBytes);
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + base64Encode(salt) + "$" +
         base64Encode(derive(password, salt, iterations));
}

bool verifyPassword(std::string_view password, std::string_view stored) {
  const auto parts = split(stored, '$');
  if (parts.size() != 4 || parts[0] != kScheme) return false;
  int iterations = 0;
  const auto [end, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), iterations);
  if (ec != std::errc() || end != parts[1].data() + parts[1].size() || iterations < 1 || iterations > kMaxIterations)
    return false;
  const auto salt = base64Decode(parts[2]);
  const auto expected = base64Decode(parts[3]);
  if (!salt || !expected || expected->size() != kHashBytes) return false;
  const auto actual = derive(password, *salt, iterations);
  return actual.size() == expected->size() && CRYPTO_memcmp(actual.data(), expected->data(), actual.size()) == 0;
}

std::string passwordPolicyViolation(std::string_view password) {
  // Length counts characters, not bytes: skip UTF-8 continuation bytes.
  const auto characters = std::count_if(password.begin(), password.end(),
                                        [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
  const auto has = [&](auto test) {
    return std::any_of(password.begin(), password.end(), [&](char c) { return test(static_cast<unsigned char>(c)); });
  };
  // Letters and digits are the basic Latin ones; symbols are ASCII punctuation and the blank.
  const auto upper = [](unsigned char c) { return c >= 'A' && c <= 'Z'; };
  const auto lower = [](unsigned char c) { return c >= 'a' && c <= 'z'; };
  const auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
  const auto symbol = [](unsigned char c) {
    return c == ' ' || (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
           (c >= '{' && c <= '~');
  };
  const std::string prefix = "Password did not conform with policy: ";
  if (characters < 8) return prefix + "Password not long enough";
  if (!has(upper)) return prefix + "Password must have uppercase characters";
  if (!has(lower)) return prefix + "Password must have lowercase characters";
  if (!has(digit)) return prefix + "Password must have numeric characters";
  if (!has(symbol)) return prefix + "Password must have symbol characters";
  return {};
}

}  // namespace deskwave::accounts
