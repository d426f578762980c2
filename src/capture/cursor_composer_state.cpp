#include "capture/cursor_composer_state.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>

namespace deskwave {
namespace {

using Json = nlohmann::json;
// The conversation list keeps the listed order, so that equal times pick the
// conversation listed first also when the list is an object of objects.
using OrderedJson = nlohmann::ordered_json;

// Reads `count` digits at `pos` as a number, advancing `pos`.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// "YYYY-MM-DDTHH:MM[:SS[.fraction]]" with "Z", "+HH:MM", "+HHMM" or no zone
// (taken as UTC), in milliseconds since 1970.
std::optional<double> isoMilliseconds(std::string_view text) {
  std::size_t pos = 0;
  const auto year = digits(text, pos, 4);
  if (!year || !expect(text, pos, '-')) return std::nullopt;
  const auto month = digits(text, pos, 2);
  if (!month || !expect(text, pos, '-')) return std::nullopt;
  const auto day = digits(text, pos, 2);
  if (!day || pos >= text.size() || (text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ')) return std::nullopt;
  ++pos;
  const auto hour = digits(text, pos, 2);
  if (!hour || !expect(text, pos, ':')) return std::nullopt;
  const auto minute = digits(text, pos, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  double fraction = 0;
  if (expect(text, pos, ':')) {
    const auto s = digits(text, pos, 2);
    if (!s) return std::nullopt;
    second = *s;
    if (expect(text, pos, '.') || expect(text, pos, ',')) {
      double scale = 0.1;
      const std::size_t start = pos;
      for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, scale /= 10)
        fraction += (text[pos] - '0') * scale;
      if (pos == start) return std::nullopt;
    }
  }
  int offsetMinutes = 0;
  if (pos < text.size()) {
    const char zone = text[pos++];
    if (zone == 'Z' || zone == 'z') {
      // UTC
    } else if (zone == '+' || zone == '-') {
      const auto h = digits(text, pos, 2);
      if (!h) return std::nullopt;
      expect(text, pos, ':');
      const auto m = digits(text, pos, 2);
      if (!m || *h > 23 || *m > 59) return std::nullopt;
      offsetMinutes = (zone == '-' ? -1 : 1) * (*h * 60 + *m);
    } else {
      return std::nullopt;
    }
  }
  if (pos != text.size()) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                                         std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok() || *hour > 23 || *minute > 59 || second > 60) return std::nullopt;
  const double days = std::chrono::sys_days(date).time_since_epoch().count();
  const double seconds = days * 86400 + *hour * 3600 + *minute * 60 + second - offsetMinutes * 60;
  return (seconds + fraction) * 1000;
}

template <class J>
std::optional<double> milliseconds(const J& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end()) return std::nullopt;
  if (it->is_number()) {
    const double value = it->template get<double>();
    if (std::isfinite(value)) return value;
    return std::nullopt;
  }
  if (it->is_string()) return isoMilliseconds(it->template get_ref<const std::string&>());
  return std::nullopt;
}

template <class J>
double recordTime(const J& record) {
  if (!record.is_object()) return 0;
  if (const auto updated = milliseconds(record, "lastUpdatedAt")) return *updated;
  return milliseconds(record, "createdAt").value_or(0);
}

std::optional<std::string> newestInHeaders(const CursorStateDb& db) {
  const auto rows = db.rows("SELECT value FROM ItemTable WHERE key='composer.composerHeaders'");
  if (rows.empty()) return std::nullopt;
  const auto doc = OrderedJson::parse(rows.front().front(), nullptr, false);
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
  double newestTime = recordTime(*newest);
  for (const auto* c : conversations) {
    const double time = recordTime(*c);
    if (time > newestTime) {
      newest = c;
      newestTime = time;
    }
  }
  const auto id = newest->find("composerId");
  if (id == newest->end() || !id->is_string()) return std::nullopt;
  return id->get<std::string>();
}

// Without a conversation list: the composer record with the latest time
// (equal times: the first in key order).
std::optional<std::string> newestComposerRecord(const CursorStateDb& db) {
  static constexpr std::string_view kPrefix = "composerData:";
  std::optional<std::string> newest;
  double newestTime = 0;
  for (const auto& row :
       db.rows("SELECT key, value FROM cursorDiskKV WHERE key >= 'composerData:' AND key < 'composerData;'", {}, 2)) {
    const auto& key = row[0];
    if (key.size() <= kPrefix.size()) continue;
    const auto record = parseTopLevelMembers(row[1], {"lastUpdatedAt", "createdAt"});
    if (!record.is_object()) continue;
    const double time = recordTime(record);
    if (!newest || time > newestTime) {
      newest = key.substr(kPrefix.size());
      newestTime = time;
    }
  }
  return newest;
}

}  // namespace

std::string cursorStateDbUri(const std::filesystem::path& path) {
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

void CursorStateDb::close(sqlite3* db) { sqlite3_close(db); }

std::variant<CursorStateDb, CursorStateDb::OpenFailure> CursorStateDb::open(const std::filesystem::path& path) {
  std::error_code ec;
  const auto kind = std::filesystem::status(path, ec).type();
  if (ec || kind == std::filesystem::file_type::not_found) return OpenFailure::notFound;
  if (kind != std::filesystem::file_type::regular) return OpenFailure::cannotOpen;
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(cursorStateDbUri(path).c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(raw);
    return OpenFailure::cannotOpen;
  }
  sqlite3_busy_timeout(raw, 250);
  return CursorStateDb(raw);
}

std::vector<std::vector<std::string>> CursorStateDb::rows(const char* sql, const std::vector<std::string>& bind,
                                                          int columns) const {
  std::vector<std::vector<std::string>> out;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_.get(), sql, -1, &stmt, nullptr) != SQLITE_OK || !stmt) {
    sqlite3_finalize(stmt);
    return out;
  }
  for (std::size_t i = 0; i < bind.size(); ++i)
    sqlite3_bind_text(stmt, static_cast<int>(i + 1), bind[i].data(), static_cast<int>(bind[i].size()),
                      SQLITE_TRANSIENT);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::vector<std::string> row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      const auto* text = sqlite3_column_text(stmt, c);
      if (!text) break;
      row.emplace_back(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
    }
    if (row.size() == static_cast<std::size_t>(columns)) out.push_back(std::move(row));
  }
  sqlite3_finalize(stmt);
  return out;
}

Json parseTopLevelMembers(const std::string& text, const std::vector<std::string>& keys) {
  // Reads the text as events and builds only what is kept: neither the other
  // members nor anything nested below the kept ones is ever made a value.
  struct Reader {
    const std::vector<std::string>& keys;
    Json out = Json::object();
    std::string member;       // the name of the current top-level member, when kept
    int depth = 0;            // 1 inside the top-level object
    bool memberKept = false;  // the current top-level member is one of `keys`
    bool inKeptArray = false;

    bool scalar(Json value) {
      if (depth == 0) return false;  // the text is no object
      if (depth == 1 && memberKept) out[member] = std::move(value);
      if (depth == 2 && inKeptArray) out[member].push_back(std::move(value));
      return true;
    }
    bool null() { return scalar(nullptr); }
    bool boolean(bool value) { return scalar(value); }
    bool number_integer(Json::number_integer_t value) { return scalar(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return scalar(value); }
    bool number_float(Json::number_float_t value, const std::string&) { return scalar(value); }
    bool string(std::string& value) { return scalar(std::move(value)); }
    bool binary(Json::binary_t&) { return scalar(nullptr); }
    bool start_object(std::size_t) { return open(Json::object(), false); }
    bool start_array(std::size_t) {
      if (depth == 0) return false;
      return open(Json::array(), true);
    }
    bool open(Json empty, bool array) {
      if (depth == 1 && memberKept) {
        out[member] = std::move(empty);
        inKeptArray = array;
      }
      ++depth;
      return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool close() {
      if (--depth == 1) inKeptArray = false;
      return true;
    }
    bool key(std::string& name) {
      if (depth == 1) {
        memberKept = std::find(keys.begin(), keys.end(), name) != keys.end();
        if (memberKept) member = std::move(name);
      }
      return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
  };
  Reader reader{keys};
  if (!Json::sax_parse(text, &reader)) return Json(Json::value_t::discarded);
  return std::move(reader.out);
}

double cursorRecordTime(const OrderedJson& record) { return recordTime(record); }
double cursorRecordTime(const Json& record) { return recordTime(record); }

std::optional<std::string> newestCursorComposerId(const CursorStateDb& db) {
  if (auto id = newestInHeaders(db)) return id;
  return newestComposerRecord(db);
}

CursorComposerState cursorComposerState(const CursorStateDb& db, const std::string& composerId) {
  CursorComposerState state;
  const auto rows = db.rows("SELECT value FROM cursorDiskKV WHERE key = ?", {"composerData:" + composerId});
  if (rows.empty()) return state;
  const auto record = parseTopLevelMembers(rows.front().front(), {"status", "generatingBubbleIds"});
  if (!record.is_object()) return state;
  if (const auto status = record.find("status"); status != record.end() && status->is_string())
    state.status = status->get<std::string>();
  if (const auto ids = record.find("generatingBubbleIds"); ids != record.end() && ids->is_array())
    state.bubbleBeingWritten = !ids->empty();
  return state;
}

bool cursorNewestComposerTurnIsOver(const std::filesystem::path& dbPath) {
  auto opened = CursorStateDb::open(dbPath);
  const auto* db = std::get_if<CursorStateDb>(&opened);
  if (!db) return false;
  const auto composer = newestCursorComposerId(*db);
  return composer && cursorComposerState(*db, *composer).turnOver();
}

}  // namespace deskwave
