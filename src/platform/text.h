#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace deskwave {

// Removes leading and trailing Unicode white space and line breaks; inner text
// is untouched. Invalid UTF-8 is left as it is.
std::string trimWhitespace(std::string_view utf8);

// Unicode lower-casing, independent of the user's locale.
std::string lowercased(std::string_view utf8);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view utf8);

// The first `count` user-perceived characters.
std::string graphemePrefix(std::string_view utf8, std::size_t count);

// Decodes the code point that starts at byte `i` and moves `i` past it; an
// invalid sequence reads as a negative value.
std::int32_t nextCodePoint(std::string_view utf8, std::size_t& i);

}  // namespace deskwave

namespace deskwave {
// Upper-cases ASCII letters only (identifiers, hexadecimal text).
std::string uppercasedAscii(std::string_view text);
}  // namespace deskwave

namespace deskwave {
// True when `bytes` is well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);
}  // namespace deskwave

namespace deskwave {
// Unicode full case folding: two names that differ only in letter case fold to
// the same text ("Straße" and "STRASSE" both to "strasse").
std::string caseFolded(std::string_view utf8);
// True when `a` and `b` fold to the same text.
bool equalIgnoringCase(std::string_view a, std::string_view b);
}  // namespace deskwave
