#include "account/account_rules.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "platform/base64.h"
#include "platform/crypto.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace deskwave {
namespace {

// A uniform random number below `bound` (bound ≥ 1), by rejection sampling so
// that no value is favoured.
std::uint32_t uniformBelow(std::uint32_t bound) {
  const std::uint32_t limit = UINT32_MAX - UINT32_MAX % bound;  // largest multiple of bound
  for (;;) {
    const auto bytes = randomBytes(4);
    const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                                (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    if (value < limit) return value % bound;
  }
}

char pick(std::string_view alphabet) { return alphabet[uniformBelow(static_cast<std::uint32_t>(alphabet.size()))]; }

bool isNumeric(UChar32 c) {
  const auto type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

}  // namespace

std::string normalizeEmail(std::string_view email, const std::vector<std::string>& googleMailDomains) {
  const auto text = lowercased(trimWhitespace(email));
  const auto at = text.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == text.size()) return text;
  auto local = text.substr(0, at);
  const auto domain = text.substr(at + 1);
  local = local.substr(0, local.find('+'));
  if (std::find(googleMailDomains.begin(), googleMailDomains.end(), domain) != googleMailDomains.end())
    local.erase(std::remove(local.begin(), local.end(), '.'), local.end());
  return local + "@" + domain;
}

std::optional<std::string> jwtSub(std::string_view token) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0; start <= token.size();) {
    const auto dot = std::min(token.find('.', start), token.size());
    if (dot > start) pieces.push_back(token.substr(start, dot - start));
    start = dot + 1;
  }
  if (pieces.size() < 2) return std::nullopt;
  std::string payload(pieces[1]);
  std::replace(payload.begin(), payload.end(), '-', '+');
  std::replace(payload.begin(), payload.end(), '_', '/');
  while (payload.size() % 4 != 0) payload += '=';
  const auto bytes = base64Decode(payload);
  if (!bytes) return std::nullopt;
  const auto json = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  const auto sub = json.find("sub");
  if (sub == json.end() || !sub->is_string()) return std::nullopt;
  return sub->get<std::string>();
}

std::string randomTempPassword() {
  static constexpr std::string_view kCapitals = "ABCDEFGHJKLMNPQRSTUVWXYZ";
  static constexpr std::string_view kSmall = "abcdefghijkmnpqrstuvwxyz";
  static constexpr std::string_view kDigits = "23456789";
  static constexpr std::string_view kSymbols = "!@#$%^&*-_";
  static const std::string kAll = std::string(kCapitals) + std::string(kSmall) + std::string(kDigits) +
                                  std::string(kSymbols);
  std::string password{pick(kCapitals), pick(kSmall), pick(kDigits), pick(kSymbols)};
  while (password.size() < 16) password += pick(kAll);
  // Fisher–Yates with uniform draws: every order equally likely.
  for (std::size_t i = password.size() - 1; i > 0; --i)
    std::swap(password[i], password[uniformBelow(static_cast<std::uint32_t>(i + 1))]);
  return password;
}

std::vector<PasswordRule> passwordRules(std::string_view password) {
  bool upper = false, lower = false, number = false, symbol = false;
  for (std::size_t i = 0; i < password.size();) {
    const auto c = nextCodePoint(password, i);
    if (c < 0) continue;
    upper = upper || u_isUUppercase(c);
    lower = lower || u_isULowercase(c);
    const bool numeric = isNumeric(c);
    number = number || numeric;
    symbol = symbol || (!u_isUAlphabetic(c) && !numeric && !u_isUWhiteSpace(c));
  }
  return {
      {newUuid(), "At least 12 characters", graphemeCount(password) > 11},
      {newUuid(), "An uppercase letter", upper},
      {newUuid(), "A lowercase letter", lower},
      {newUuid(), "A number", number},
      {newUuid(), "A symbol", symbol},
  };
}

}  // namespace deskwave
