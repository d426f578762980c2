#include "capture/ax_reply_extraction.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <unordered_set>

#include "capture/text_rules.h"
#include "platform/text.h"

namespace deskwave::ax_reply {
namespace {

// ---- Text helpers ----------------------------------------------------------

bool contains(std::string_view haystack, std::string_view needle) { return haystack.find(needle) != std::string_view::npos; }


// The pieces between runs of Unicode white space, joined by one blank.
std::string joinWords(std::string_view s) {
  std::string out;
  bool pendingBlank = false;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t start = i;
    const UChar32 c = nextCodePoint(s, i);
    if (c >= 0 && u_isUWhiteSpace(c)) {
      pendingBlank = !out.empty();
      continue;
    }
    if (pendingBlank) out += ' ';
    pendingBlank = false;
    out.append(s.substr(start, i - start));
  }
  return out;
}

// Removes the given strings from both ends, as often as they occur there.
std::string trimAny(std::string s, std::initializer_list<std::string_view> cuts) {
  for (bool changed = true; changed && !s.empty();) {
    changed = false;
    for (auto cut : cuts) {
      if (s.starts_with(cut)) {
        s.erase(0, cut.size());
        changed = true;
      }
      if (s.size() >= cut.size() && s.ends_with(cut)) {
        s.erase(s.size() - cut.size());
        changed = true;
      }
    }
  }
  return s;
}

// A compiled case-insensitive pattern shared by all threads; each use gets its
// own matcher. ICU gives \d and \s their Unicode meaning, so a time written with
// a narrow no-break space before "PM" matches too.
class Pattern {
 public:
  explicit Pattern(const char* pattern) {
    UErrorCode status = U_ZERO_ERROR;
    pattern_.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), UREGEX_CASE_INSENSITIVE, status));
    if (U_FAILURE(status)) pattern_.reset();
  }
  bool matchesWhole(std::string_view text) const {
    if (!pattern_) return false;
    const auto s = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(pattern_->matcher(s, status));
    if (U_FAILURE(status)) return false;
    const bool found = m->matches(status);
    return U_SUCCESS(status) && found;
  }

 private:
  std::unique_ptr<icu::RegexPattern> pattern_;
};

// ---- Chrome ----------------------------------------------------------------

// Labels of buttons and indicators that chat applications show around replies.
const std::unordered_set<std::string>& chromeWords() {
  static const std::unordered_set<std::string> words = {
      "copy",       "copy code", "regenerate", "retry",        "edit",       "share",     "send",
      "stop",       "good response", "bad response", "like",   "dislike",    "more",      "read aloud",
      "new chat",   "you",       "thumbs up",  "thumbs down",  "save",       "continue",  "chat mode",
      "agent mode", "reconnecting", "thinking", "generating",  "sources",    "completed", "done",
      "running",    "queued",    "feedback submitted", "accept", "reject"};
  return words;
}

constexpr std::array kDisclaimers = {"can make mistakes", "may display inaccurate", "may produce inaccurate",
                                     "check important info", "verify important information"};

// A single character that is neither a letter nor a digit: a bullet, an icon.
bool isLoneSymbol(std::string_view t) {
  if (graphemeCount(t) != 1) return false;
  std::size_t i = 0;
  const UChar32 c = nextCodePoint(t, i);
  return c < 0 || !u_isalnum(c);
}

// Why a trimmed line is interface chrome rather than reply text.
bool isChrome(const std::string& t, const std::string& key) {
  if (t.empty() || isLoneSymbol(t)) return true;
  for (auto phrase : kDisclaimers)
    if (contains(key, phrase)) return true;
  if (key.starts_with("ask ") && graphemeCount(key) < 24) return true;  // a composer placeholder
  if (chromeWords().contains(key)) return true;

  static const Pattern clockTime(R"(^\d{1,2}:\d{2}(:\d{2})?(\s?[AP]M)?$)");
  if (clockTime.matchesWhole(t)) return true;
  const auto lower = lowercased(t);
  if (lower == "just now" || lower == "now" || lower == "yesterday" || lower == "today") return true;
  static const Pattern age(R"(^\d{1,3}\s?(s|sec|secs|m|min|mins|h|hr|hrs|d|day|days|w|wk|wks|mo|mos|y|yr|yrs)( ago)?$)");
  if (age.matchesWhole(t)) return true;
  if (isStatusLine(t)) return true;
  static const Pattern emptyState(R"(^no .{1,28} yet$)");
  if (emptyState.matchesWhole(t)) return true;
  if (key.starts_with("thought for ") || key.starts_with("thinking for ")) return true;
  return contains(key, "feature available") || contains(key, "feedback submitted");
}

// ---- Walking the tree ------------------------------------------------------

bool isTextRole(const std::string& role) {
  return role == ax::kStaticText || role == ax::kText || role == ax::kHeading || role == ax::kLink || role == ax::kCell;
}

bool isInputRole(const std::string& role) {
  return role == ax::kTextField || role == ax::kTextArea || role == ax::kComboBox || role == ax::kSearchField;
}

bool isContainerRole(const std::string& role) { return role == ax::kButton || role == ax::kGroup; }

std::optional<std::string> nonEmptyString(Desktop& desktop, const AXElement& element, const char* name) {
  auto value = desktop.stringAttribute(element, name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

// "AXChildren" (or the navigation order when that is empty), then the
// "AXContents" elements not already among them.
std::vector<AXElement> childrenOf(Desktop& desktop, const AXElement& element) {
  auto children = desktop.elementsAttribute(element, ax::kChildren);
  if (children.empty()) children = desktop.elementsAttribute(element, ax::kChildrenInNavigationOrder);
  for (auto& content : desktop.elementsAttribute(element, ax::kContents)) {
    const bool known = std::any_of(children.begin(), children.end(),
                                   [&](const AXElement& child) { return desktop.sameElement(child, content); });
    if (!known) children.push_back(std::move(content));
  }
  return children;
}

class Walker {
 public:
  explicit Walker(Desktop& desktop) : desktop_(desktop) {}

  void walk(const AXElement& element, int depth, ScreenPoint parentPos) {
    if (budget_ < 1 || depth > kMaxDepth) return;
    --budget_;
    const ScreenPoint pos = desktop_.position(element).value_or(parentPos);
    const auto role = desktop_.stringAttribute(element, ax::kRole).value_or("");

    if (isTextRole(role)) {
      auto text = nonEmptyString(desktop_, element, ax::kValue);
      if (!text) text = nonEmptyString(desktop_, element, ax::kTitle);
      if (!text) text = nonEmptyString(desktop_, element, ax::kDescription);
      if (text) items.push_back(Item{std::move(*text), pos.y, pos.x, 0});
    } else if (isInputRole(role)) {
      // Read-only fields show text (some applications render messages in them);
      // editable ones, and those that cannot say, are where the user types.
      if (desktop_.isValueSettable(element) == false) {
        if (auto value = nonEmptyString(desktop_, element, ax::kValue)) items.push_back(Item{*value, pos.y, pos.x, 0});
      } else {
        const auto size = desktop_.size(element);
        items.push_back(inputMarker(pos.x, pos.y, size ? size->width : 0));
      }
      return;
    } else if (isContainerRole(role)) {
      if (auto blob = richBlob(desktop_, element)) {
        const bool seen = std::any_of(items.begin(), items.end(), [&](const Item& i) { return i.text == *blob; });
        if (!seen) {
          items.push_back(Item{std::move(*blob), pos.y, pos.x, 0});
          return;
        }
      }
    }
    for (const auto& child : childrenOf(desktop_, element)) walk(child, depth + 1, pos);
  }

  std::vector<Item> items;

 private:
  Desktop& desktop_;
  int budget_ = kWalkBudget;
};

// ---- Finding the reply -----------------------------------------------------

// The widest input marker; of equally wide ones the lowest on screen.
const Item* findComposer(const std::vector<Item>& items) {
  const Item* composer = nullptr;
  for (const auto& item : items) {
    if (!isInputMarker(item)) continue;
    if (!composer || item.w > composer->w || (item.w == composer->w && item.y > composer->y)) composer = &item;
  }
  return composer;
}

// Whether an item lies in the composer's column: from a margin left of the
// composer to a margin past its right end (no right limit when its width is
// unknown). Everything is in the column when there is no composer.
bool inColumn(const Item& item, const Item* composer) {
  if (!composer) return true;
  const double margin = std::max(composer->w / 4, 24.0);
  if (item.x < composer->x - margin) return false;
  return composer->w <= 0 || item.x <= composer->x + composer->w + margin;
}

}  // namespace

bool isInputMarker(const Item& item) { return item.text == kComposerMarker; }

Item inputMarker(double x, double y, double width) { return Item{std::string(kComposerMarker), y, x, width}; }

std::optional<std::string> richBlob(Desktop& desktop, const AXElement& element) {
  for (const char* name : {ax::kDescription, ax::kValue}) {
    const auto value = desktop.stringAttribute(element, name);
    if (!value) continue;
    auto text = trimWhitespace(*value);
    if (graphemeCount(text) < 30) continue;
    if (contains(text, "\n") || contains(text, "```") || contains(text, "* ") || contains(text, "- ") ||
        contains(text, "# "))
      return text;
  }
  return std::nullopt;
}

std::vector<Item> collectItems(Desktop& desktop, const AXElement& application) {
  if (!application) return {};
  Walker walker(desktop);
  const auto windows = desktop.elementsAttribute(application, ax::kWindows);
  if (windows.empty()) {
    walker.walk(application, 0, {});
  } else {
    for (const auto& window : windows) walker.walk(window, 0, {});
  }
  auto items = std::move(walker.items);

  std::set<double> rows;
  for (const auto& item : items) rows.insert(item.y);
  if (rows.size() >= 4) {
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  }
  return items;
}

std::string extractReply(const std::vector<Item>& items, std::string_view sentPrompt) {
  const Item* composer = findComposer(items);
  const auto prompt = normalize(sentPrompt);
  if (prompt.empty()) return {};
  const auto probe = graphemePrefix(prompt, 60);
  const bool longProbe = graphemeCount(probe) >= 8;

  // The prompt's last appearance in the column. An exact appearance is taken
  // over a partial one: a short prompt such as "hello" is often repeated inside
  // the reply ("Hello! How can I help?"), which must not hide the reply.
  std::optional<std::size_t> exact, partial;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& item = items[i];
    if (isInputMarker(item) || !inColumn(item, composer)) continue;
    const auto n = normalize(item.text);
    if (n == prompt) {
      exact = i;
    } else if (contains(n, probe) || (longProbe && contains(prompt, n) && graphemeCount(n) >= 8)) {
      partial = i;
    }
  }
  const auto anchor = exact ? exact : partial;
  if (!anchor) return {};

  std::vector<std::string> lines;
  for (std::size_t i = *anchor + 1; i < items.size(); ++i) {
    const auto& item = items[i];
    if (composer && item.y >= composer->y) break;
    if (isInputMarker(item) || !inColumn(item, composer)) continue;
    lines.push_back(item.text);
  }
  std::string reply;
  for (const auto& line : stripChrome(lines)) {
    if (!reply.empty()) reply += '\n';
    reply += line;
  }
  return trimWhitespace(reply);
}

std::vector<std::string> stripChrome(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  std::unordered_set<std::string> keptKeys;
  for (const auto& line : lines) {
    auto t = trimWhitespace(line);
    const auto key = trimAny(lowercased(t), {".", "\u2026", "\u22EF", " "});
    if (isChrome(t, key)) continue;
    auto d = dedupKey(t);
    if (graphemeCount(t) >= 4 && keptKeys.contains(d)) continue;
    keptKeys.insert(std::move(d));
    kept.push_back(std::move(t));
  }
  return kept;
}

std::string normalize(std::string_view text) { return joinWords(lowercased(text)); }

bool isStatusLine(std::string_view text) {
  if (graphemeCount(text) > 79 || text_rules::splitLines(text).size() > 1) return false;
  if (text.find_first_of(".!?:;,") != std::string_view::npos) return false;
  const auto first = lowercased(text.substr(0, text.find(' ')));
  return graphemeCount(first) >= 5 && first.ends_with("ing");
}

std::string dedupKey(std::string_view text) {
  static constexpr std::array<std::string_view, 12> kIgnored = {
      "\u200B", "\u200C", "\u200D", "\uFEFF", "\u00A0", "\u2022", "*", "\u2023", "\u25E6", "-", "\u2013", "\u2014"};
  std::string s(text);
  for (auto ignored : kIgnored) {
    for (auto at = s.find(ignored); at != std::string::npos; at = s.find(ignored, at)) s.erase(at, ignored.size());
  }
  return normalize(s);
}

}  // namespace deskwave::ax_reply
