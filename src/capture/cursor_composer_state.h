#pragma once

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

namespace deskwave {

// A read-only connection to Cursor's state database, held for one poll.
class CursorStateDb {
 public:
  enum class OpenFailure { notFound, cannotOpen };

  // Opens `path` read-only, waiting at most 250 ms for a writer's lock. Only a
  // regular file (or a link to one) is opened: SQLite would block opening a
  // named pipe until something writes to it.
  static std::variant<CursorStateDb, OpenFailure> open(const std::filesystem::path& path);

  // The texts of the first `columns` columns of every result row, rows with a
  // NULL among them left out. A statement that does not prepare (a missing
  // table, a file that is no database) gives no rows.
  std::vector<std::vector<std::string>> rows(const char* sql, const std::vector<std::string>& bind = {},
                                             int columns = 1) const;

  sqlite3* handle() const { return db_.get(); }

 private:
  explicit CursorStateDb(sqlite3* db) : db_(db, &close) {}
  static void close(sqlite3* db);
  std::unique_ptr<sqlite3, void (*)(sqlite3*)> db_;
};

// "file:" + the percent-encoded path + "?mode=ro": every byte but the URL's
// unreserved characters and "/" is escaped, so spaces, "?", "#" and "%" in
// folder names cannot break the URI.
std::string cursorStateDbUri(const std::filesystem::path& path);

// Parses a JSON object keeping only its members named in `keys`: scalars as
// they are, an object among them as an empty object, an array with its scalar
// elements. Saves building the large nested parts of Cursor's records. Never
// throws; anything but an object gives a discarded value.
nlohmann::json parseTopLevelMembers(const std::string& text, const std::vector<std::string>& keys);

// A record's time in milliseconds: "lastUpdatedAt", else "createdAt", each a
// number of milliseconds or an ISO 8601 text ("2026-03-01T10:00:00.000Z", a
// zone offset allowed); 0 when neither reads.
double cursorRecordTime(const nlohmann::ordered_json& record);
double cursorRecordTime(const nlohmann::json& record);

// The conversation Cursor shows: the entry with the latest time in ItemTable's
// "composer.composerHeaders" (an object with an "allComposers" array, an
// object of objects or an array of objects; equal times pick the one listed
// first); when that row names none (absent, NULL, unreadable), the newest
// "composerData:<id>" record of cursorDiskKV.
std::optional<std::string> newestCursorComposerId(const CursorStateDb& db);

// What a composer's record ("composerData:<id>") says about its turn.
struct CursorComposerState {
  std::optional<std::string> status;  // "generating", "completed", ...; absent in old records
  bool bubbleBeingWritten = false;    // "generatingBubbleIds" holds an id

  bool generating() const { return bubbleBeingWritten || status == "generating"; }
  // The record says the turn has ended: it carries a status and nothing is
  // being written. Old records without a status never say so.
  bool turnOver() const { return status.has_value() && !generating(); }
};

// An absent or unreadable record reads as a state without status.
CursorComposerState cursorComposerState(const CursorStateDb& db, const std::string& composerId);

// One look at the database: true when the newest composer's turn is over.
// False when the database, the composer or its status cannot be read.
bool cursorNewestComposerTurnIsOver(const std::filesystem::path& dbPath);

}  // namespace deskwave
