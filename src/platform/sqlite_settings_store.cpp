#include "platform/sqlite_settings_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

namespace deskwave {
namespace {

// Type tags stored beside each value.
constexpr const char* kString = "string";
constexpr const char* kBool = "bool";
constexpr const char* kInt = "int";
constexpr const char* kList = "list";
constexpr const char* kData = "data";

// Prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  void bindText(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::optional<SettingValue> decode(std::string_view type, sqlite3_stmt* row, int column) {
  const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, column));
  const int size = sqlite3_column_bytes(row, column);
  const std::string_view text(reinterpret_cast<const char*>(blob), blob ? size : 0);
  if (type == kString) return SettingValue(std::string(text));
  if (type == kBool) return SettingValue(sqlite3_column_int64(row, column) != 0);
  if (type == kInt) return SettingValue(static_cast<std::int64_t>(sqlite3_column_int64(row, column)));
  if (type == kData) return SettingValue(Bytes(blob, blob + (blob ? size : 0)));
  if (type == kList) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array()) return std::nullopt;
    StringList list;
    for (const auto& item : json) {
      if (!item.is_string()) return std::nullopt;
      list.push_back(item.get<std::string>());
    }
    return SettingValue(std::move(list));
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<SqliteSettingsStore> SqliteSettingsStore::open(const std::filesystem::path& file,
                                                               ErrorSink onError) {
  auto fail = [&](const std::string& what) -> std::unique_ptr<SqliteSettingsStore> {
    const std::string line = "Settings: cannot open " + file.string() + ": " + what;
    if (onError) onError(line); else std::cerr << line << '\n';
    return nullptr;
  };

  std::error_code ec;
  if (file.has_parent_path()) {
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return fail(ec.message());
    ::chmod(file.parent_path().c_str(), 0700);
  }
  // Create the file ourselves so that it is never readable by others, even briefly.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return fail(std::strerror(errno));
  ::fchmod(fd, 0600);
  ::close(fd);

  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    std::string why = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return fail(why);
  }
  sqlite3_busy_timeout(db, 5000);
  char* err = nullptr;
  const char* setup =
      "PRAGMA journal_mode=WAL;"
      "PRAGMA synchronous=FULL;"
      "CREATE TABLE IF NOT EXISTS settings("
      " key TEXT PRIMARY KEY NOT NULL, type TEXT NOT NULL, value BLOB);";
  if (sqlite3_exec(db, setup, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string why = err ? err : "setup failed";
    sqlite3_free(err);
    sqlite3_close(db);
    return fail(why);
  }
  return std::unique_ptr<SqliteSettingsStore>(new SqliteSettingsStore(db, std::move(onError)));
}

SqliteSettingsStore::SqliteSettingsStore(sqlite3* db, ErrorSink onError)
    : db_(db), onError_(std::move(onError)) {}

SqliteSettingsStore::~SqliteSettingsStore() { sqlite3_close(db_); }

void SqliteSettingsStore::report(const std::string& what) const {
  const std::string line = "Settings: " + what + ": " + sqlite3_errmsg(db_);
  if (onError_) onError_(line); else std::cerr << line << '\n';
}

std::optional<SettingValue> SqliteSettingsStore::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  Statement stmt(db_, "SELECT type, value FROM settings WHERE key = ?1");
  if (!stmt) {
    report("read failed");
    return std::nullopt;
  }
  stmt.bindText(1, key);
  const int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) {
    report("read of " + std::string(key) + " failed");
    return std::nullopt;
  }
  const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
  return decode(type ? type : "", stmt.get(), 1);
}

void SqliteSettingsStore::setValue(std::string_view key, SettingValue v) {
  std::lock_guard lock(mutex_);
  Statement stmt(db_, "INSERT OR REPLACE INTO settings(key, type, value) VALUES(?1, ?2, ?3)");
  if (!stmt) {
    report("write failed");
    return;
  }
  stmt.bindText(1, key);
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::string>) {
          sqlite3_bind_text(stmt.get(), 2, kString, -1, SQLITE_STATIC);
          stmt.bindText(3, x);
        } else if constexpr (std::is_same_v<T, bool>) {
          sqlite3_bind_text(stmt.get(), 2, kBool, -1, SQLITE_STATIC);
          sqlite3_bind_int64(stmt.get(), 3, x ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          sqlite3_bind_text(stmt.get(), 2, kInt, -1, SQLITE_STATIC);
          sqlite3_bind_int64(stmt.get(), 3, x);
        } else if constexpr (std::is_same_v<T, StringList>) {
          sqlite3_bind_text(stmt.get(), 2, kList, -1, SQLITE_STATIC);
          // JSON text cannot hold invalid UTF-8: store U+FFFD in its place rather
          // than throw out of a settings write.
          stmt.bindText(3, nlohmann::json(x).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        } else {
          sqlite3_bind_text(stmt.get(), 2, kData, -1, SQLITE_STATIC);
          sqlite3_bind_blob(stmt.get(), 3, x.data(), static_cast<int>(x.size()), SQLITE_TRANSIENT);
        }
      },
      v);
  if (sqlite3_step(stmt.get()) != SQLITE_DONE) report("write of " + std::string(key) + " failed");
}

void SqliteSettingsStore::remove(std::string_view key) {
  std::lock_guard lock(mutex_);
  Statement stmt(db_, "DELETE FROM settings WHERE key = ?1");
  if (!stmt) {
    report("remove failed");
    return;
  }
  stmt.bindText(1, key);
  if (sqlite3_step(stmt.get()) != SQLITE_DONE) report("remove of " + std::string(key) + " failed");
}

void SqliteSettingsStore::flush() {
  // Every write is already synced to the log; fold the log into the database.
  std::lock_guard lock(mutex_);
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) != SQLITE_OK)
    report("flush failed");
}

}  // namespace deskwave
