#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace deskwave {

// The two domains of Google's consumer mail, where dots in the local part do
// not matter.
inline const std::vector<std::string> kGoogleMailDomains = {"gmail.com", "googlemail.com"};

// One address per mailbox: trimmed and lower-cased, the "+tag" cut from the
// local part, and at Google's consumer mail domains the dots removed from it.
// Text that is not "local@domain" comes back trimmed and lower-cased only.
std::string normalizeEmail(std::string_view email,
                           const std::vector<std::string>& googleMailDomains = kGoogleMailDomains);

// The "sub" claim of a JSON web token, read without checking its signature.
std::optional<std::string> jwtSub(std::string_view token);

// A 16-character password from the system's cryptographic random source, with
// at least one capital, small letter, digit and symbol, and no look-alike
// characters (I, O, l, o, 0, 1).
std::string randomTempPassword();

// One requirement of a new password, as the sign-in window lists it.
struct PasswordRule {
  std::string id;  // fresh for every call, for the list view
  std::string label;
  bool ok = false;
};

// The five requirements, always in this order: length of at least 12
// characters, an uppercase letter, a lowercase letter, a number, a symbol.
std::vector<PasswordRule> passwordRules(std::string_view password);

}  // namespace deskwave
