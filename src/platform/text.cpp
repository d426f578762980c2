#include "platform/text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

namespace deskwave {
namespace {

std::unique_ptr<icu::BreakIterator> characterIterator(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return nullptr;
  it->setText(text);
  return it;
}

}  // namespace

std::string trimWhitespace(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t i = begin;
    if (!u_isUWhiteSpace(nextCodePoint(s, i))) break;
    begin = i;
  }
  std::size_t end = begin;  // end of the last non-space code point
  for (std::size_t i = begin; i < s.size();) {
    const UChar32 c = nextCodePoint(s, i);
    if (!u_isUWhiteSpace(c)) end = i;
  }
  return std::string(s.substr(begin, end - begin));
}

std::string lowercased(std::string_view s) {
  auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  text.toLower(icu::Locale::getRoot());
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::size_t graphemeCount(std::string_view s) {
  auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  auto it = characterIterator(text);
  if (!it) return static_cast<std::size_t>(text.countChar32());
  std::size_t count = 0;
  for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
  return count;
}

std::string graphemePrefix(std::string_view s, std::size_t count) {
  auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  auto it = characterIterator(text);
  int32_t end = text.length();
  if (it) {
    it->first();
    for (std::size_t n = 0; n < count; ++n) {
      const int32_t p = it->next();
      if (p == icu::BreakIterator::DONE) break;
      end = p;
    }
    if (count == 0) end = 0;
  }
  std::string out;
  text.tempSubString(0, end).toUTF8String(out);
  return out;
}

}  // namespace deskwave

namespace deskwave {
std::string uppercasedAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}
}  // namespace deskwave

namespace deskwave {
bool isValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    UChar32 c;
    int32_t pos = static_cast<int32_t>(i);
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), pos, static_cast<int32_t>(s.size()), c);
    if (c < 0) return false;
    i = static_cast<std::size_t>(pos);
  }
  return true;
}
}  // namespace deskwave

namespace deskwave {

std::int32_t nextCodePoint(std::string_view utf8, std::size_t& i) {
  UChar32 c;
  auto pos = static_cast<int32_t>(i);
  U8_NEXT(reinterpret_cast<const uint8_t*>(utf8.data()), pos, static_cast<int32_t>(utf8.size()), c);
  i = static_cast<std::size_t>(pos);
  return c;
}

}  // namespace deskwave

namespace deskwave {

std::string caseFolded(std::string_view s) {
  auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  text.foldCase(U_FOLD_CASE_DEFAULT);
  std::string out;
  text.toUTF8String(out);
  return out;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) { return caseFolded(a) == caseFolded(b); }

}  // namespace deskwave
