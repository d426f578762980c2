#include "capture/cursor_db_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "capture/text_rules.h"
#include "platform/text.h"

namespace deskwave {
namespace {

using Json = nlohmann::json;
// The conversation list keeps the listed order, so that equal stamps pick the
// conversation listed first also when the list is an object of objects.
using OrderedJson = nlohmann::ordered_json;

struct Bubble {
  std::string createdAt;
  std::int64_t type = 0;  // 1: the user's message, 2: the assistant's
  std::string text;
};

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

// Every column-0 text of the statement's rows; empty when it does not prepare.
std::vector<std::string> query(sqlite3* db, const char* sql, const std::vector<std::string>& bind = {}) {
  std::vector<std::string> rows;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK || !stmt) {
    sqlite3_finalize(stmt);
    return rows;
  }
  for (std::size_t i = 0; i < bind.size(); ++i)
    sqlite3_bind_text(stmt, static_cast<int>(i + 1), bind[i].data(), static_cast<int>(bind[i].size()),
                      SQLITE_TRANSIENT);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(stmt, 0);
    if (!text) continue;
    rows.emplace_back(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  return rows;
}

double numberOr0(const OrderedJson& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return 0;
  return it->get<double>();
}

std::optional<std::string> activeConversationId(sqlite3* db) {
  const auto rows = query(db, "SELECT value FROM ItemTable WHERE key='composer.composerHeaders'");
  if (rows.empty()) return std::nullopt;
  const auto doc = OrderedJson::parse(rows.front(), nullptr, false);
  if (doc.is_discarded()) return std::nullopt;

  std::vector<const OrderedJson*> conversations;
  auto allObjects = [](const OrderedJson& array) {
    return array.is_array() &&
           std::all_of(array.begin(), array.end(), [](const OrderedJson& j) { return j.is_object(); });
  };
  const auto all = doc.is_object() ? doc.find("allComposers") : doc.end();
  if (doc.is_object() && all != doc.end() && allObjects(*all)) {
    for (const auto& c : *all) conversations.push_back(&c);
  } else if (doc.is_object()) {
    for (const auto& [key, value] : doc.items())
      if (value.is_object()) conversations.push_back(&value);
  } else if (allObjects(doc)) {
    for (const auto& c : doc) conversations.push_back(&c);
  }
  if (conversations.empty()) return std::nullopt;
  const OrderedJson* newest = conversations.front();
  for (const auto* c : conversations)
    if (numberOr0(*c, "lastUpdatedAt") > numberOr0(*newest, "lastUpdatedAt")) newest = c;
  auto id = newest->find("composerId");
  if (id == newest->end() || !id->is_string()) return std::nullopt;
  return id->get<std::string>();
}

std::int64_t typeOf(const Json& object) {
  auto it = object.find("type");
  if (it == object.end() || !it->is_number()) return 0;
  if (it->is_number_unsigned()) {
    const auto u = it->get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ? 0 : static_cast<std::int64_t>(u);
  }
  if (it->is_number_integer()) return it->get<std::int64_t>();
  const double d = it->get<double>();
  // Truncate fractions; values beyond the integer range count as no type, like
  // integers too large for 64 bits above.
  if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return 0;
  return static_cast<std::int64_t>(d);
}

std::vector<Bubble> bubbles(sqlite3* db, const std::string& conversation) {
  const std::string prefix = "bubbleId:" + conversation;
  std::vector<Bubble> out;
  for (const auto& row : query(db, "SELECT value FROM cursorDiskKV WHERE key >= ? AND key < ?", {prefix + ":", prefix + ";"})) {
    const auto j = Json::parse(row, nullptr, false);
    if (!j.is_object()) continue;
    Bubble b;
    b.type = typeOf(j);
    if (auto t = j.find("text"); t != j.end() && t->is_string()) b.text = t->get<std::string>();
    if (auto c = j.find("createdAt"); c != j.end() && c->is_string()) b.createdAt = c->get<std::string>();
    if (trimWhitespace(b.text).empty()) continue;
    out.push_back(std::move(b));
  }
  std::stable_sort(out.begin(), out.end(), [](const Bubble& a, const Bubble& b) { return a.createdAt < b.createdAt; });
  return out;
}

std::optional<std::string> latestAssistantAfterPrompt(const std::vector<Bubble>& list, const std::string& sentPrompt) {
  const auto key = text_rules::comparisonForm(sentPrompt);
  // The last user message carrying the prompt; searching from the end spares
  // the comparison of every older user message.
  std::size_t anchor = list.size();
  for (std::size_t i = list.size(); i-- > 0;) {
    if (list[i].type == 1 && text_rules::userTextMatchesPrompt(list[i].text, key)) {
      anchor = i;
      break;
    }
  }
  if (anchor == list.size()) return std::nullopt;
  std::string reply;
  for (std::size_t i = anchor + 1; i < list.size() && list[i].type != 1; ++i) {
    if (list[i].type != 2) continue;
    const auto part = text_rules::cleanAssistantText(list[i].text);
    if (part.empty()) continue;
    if (!reply.empty()) reply += "\n\n";
    reply += part;
  }
  reply = trimWhitespace(reply);
  if (reply.empty()) return std::nullopt;
  return reply;
}

}  // namespace

std::filesystem::path cursorStateDatabasePath(const std::filesystem::path& home) {
#ifdef __APPLE__
  return home / "Library" / "Application Support" / "Cursor" / "User" / "globalStorage" / "state.vscdb";
#else
  return home / ".config" / "Cursor" / "User" / "globalStorage" / "state.vscdb";
#endif
}

std::string CursorDBReader::readOnlyUri(const std::filesystem::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string plain = path.string();
  // "file://" starts an authority: a path beginning with "//" gets an empty one
  // in front, or its first folder would be taken for a host name.
  std::string out = plain.rfind("//", 0) == 0 ? "file://" : "file:";
  for (unsigned char c : plain) {
    // The unreserved characters of a URL and "/" stay; the rest (spaces, "?",
    // "#", "%", bytes of non-ASCII names) is escaped. ASCII tests only: the
    // C library's classes would follow the locale.
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~' || c == '/';
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out + "?mode=ro";
}

CursorDBReader::CursorDBReader(std::string sentPrompt, std::filesystem::path dbPath)
    : sentPrompt_(std::move(sentPrompt)), dbPath_(std::move(dbPath)) {}

std::optional<std::string> CursorDBReader::pollStableReply() {
  std::error_code ec;
  const auto kind = std::filesystem::status(dbPath_, ec).type();
  if (ec || kind == std::filesystem::file_type::not_found) {
    dbAvailable_ = false;
    lastStatus_ = "Cursor DB not found";
    return std::nullopt;
  }
  // Only a regular file (or a link to one) is opened: SQLite would block
  // opening a named pipe until something writes to it.
  if (kind != std::filesystem::file_type::regular) {
    dbAvailable_ = false;
    lastStatus_ = "cannot open Cursor DB";
    return std::nullopt;
  }
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(readOnlyUri(dbPath_).c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(raw);
    dbAvailable_ = false;
    lastStatus_ = "cannot open Cursor DB";
    return std::nullopt;
  }
  Database db(raw, sqlite3_close);
  sqlite3_busy_timeout(db.get(), 250);
  dbAvailable_ = true;

  const auto conversation = activeConversationId(db.get());
  if (!conversation) {
    lastStatus_ = "no active conversation";
    return std::nullopt;
  }
  const auto list = bubbles(db.get(), *conversation);
  if (list.empty()) {
    lastStatus_ = "no bubbles in active convo";
    return std::nullopt;
  }
  const auto reply = latestAssistantAfterPrompt(list, sentPrompt_);
  if (!reply) {
    pendingReply_.reset();
    pendingStablePolls_ = 0;
    lastStatus_ = "waiting for assistant reply (" + std::to_string(list.size()) + " bubbles)";
    return std::nullopt;
  }
  if (!text_rules::isValidReply(*reply, sentPrompt_) || text_rules::looksLikeDeskwaveDebugLog(*reply)) {
    pendingReply_.reset();
    pendingStablePolls_ = 0;
    lastStatus_ = "reply rejected (echo/debug)";
    return std::nullopt;
  }
  const auto length = graphemeCount(*reply);
  const int needed = length >= kLongReply ? 2 : 1;
  if (pendingReply_ == reply) {
    ++pendingStablePolls_;
  } else {
    pendingReply_ = reply;
    pendingStablePolls_ = 1;
  }
  lastStatus_ = "assistant " + std::to_string(length) + " chars (stable " + std::to_string(pendingStablePolls_) + "/" +
                std::to_string(needed) + ")";
  if (pendingStablePolls_ >= needed) return reply;
  return std::nullopt;
}

}  // namespace deskwave
