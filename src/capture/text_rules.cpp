#include "capture/text_rules.h"

#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

#include "platform/text.h"

namespace deskwave::text_rules {
namespace {

icu::UnicodeString fromUtf8(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

// A compiled pattern shared by all threads; each use gets its own matcher.
class Pattern {
 public:
  explicit Pattern(const char* pattern) {
    UErrorCode status = U_ZERO_ERROR;
    pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), 0, status));
    if (U_FAILURE(status)) pattern_.reset();
  }
  bool foundIn(const icu::UnicodeString& text) const {
    if (!pattern_) return false;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(pattern_->matcher(text, status));
    return U_SUCCESS(status) && m->find(status) && U_SUCCESS(status);
  }

 private:
  std::unique_ptr<icu::RegexPattern> pattern_;
};

bool contains(std::string_view haystack, std::string_view needle) { return haystack.find(needle) != std::string_view::npos; }

}  // namespace

std::string comparisonForm(std::string_view text) {
  auto s = fromUtf8(text);
  s.foldCase();
  UErrorCode status = U_ZERO_ERROR;
  const auto* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_SUCCESS(status)) {
    auto decomposed = nfd->normalize(s, status);
    if (U_SUCCESS(status)) s = decomposed;
  }
  // Drop the combining marks (diacritics) and fold white-space runs to one blank.
  icu::UnicodeString out;
  bool inSpace = false;
  for (int32_t i = 0; i < s.length();) {
    const UChar32 c = s.char32At(i);
    i += U16_LENGTH(c);
    if (u_charType(c) == U_NON_SPACING_MARK) continue;
    if (u_isUWhiteSpace(c)) {
      if (!inSpace) out.append(static_cast<UChar>(' '));
      inSpace = true;
      continue;
    }
    inSpace = false;
    out.append(c);
  }
  return trimWhitespace(toUtf8(out));
}

bool isValidReply(std::string_view reply, std::string_view sentPrompt) {
  const auto r = comparisonForm(reply);
  if (r.empty()) return false;
  const auto p = comparisonForm(sentPrompt);
  return p.empty() || r != p;
}

bool looksLikeDeskwaveDebugLog(std::string_view text) {
  const auto head = graphemePrefix(text, 400);
  if (contains(head, "Transcript reader armed") || contains(head, "AttemptD transcript")) return true;
  if (contains(head, "Poll #") && contains(head, "baseline")) return true;
  static const Pattern timeOfDay(R"(\[\d{2}:\d{2}:\d{2}\])");
  if (timeOfDay.foundIn(fromUtf8(head))) return contains(head, "\u25B6 start:");
  return false;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t breakLength = 0;
    if (c == '\n') breakLength = 1;
    else if (c == '\r') breakLength = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) breakLength = 2;
    else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
             (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9))
      breakLength = 3;
    if (breakLength == 0) {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += breakLength;
    start = i;
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::string cleanAssistantText(std::string_view text) {
  std::string s(text);
  static constexpr std::string_view kRedacted = "[REDACTED]";
  for (auto at = s.find(kRedacted); at != std::string::npos; at = s.find(kRedacted, at)) s.erase(at, kRedacted.size());
  std::string out;
  for (auto line : splitLines(s)) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (!out.empty()) out += '\n';
    out += line;
  }
  return trimWhitespace(out);
}

bool userTextMatchesPrompt(std::string_view userText, std::string_view promptKey) {
  if (promptKey.empty()) return true;
  const auto u = comparisonForm(userText);
  if (contains(u, promptKey)) return true;
  static constexpr std::string_view kOpen = "<user_query>";
  static constexpr std::string_view kClose = "</user_query>";
  const auto open = userText.find(kOpen);
  const auto close = userText.find(kClose);
  if (open == std::string_view::npos || close == std::string_view::npos) return false;
  const auto innerStart = open + kOpen.size();
  if (close < innerStart) return false;
  return contains(comparisonForm(userText.substr(innerStart, close - innerStart)), promptKey);
}

}  // namespace deskwave::text_rules
