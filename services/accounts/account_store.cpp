#include "account_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace deskwave::accounts {
namespace {

// Prepared statement that finalizes itself; throws StoreError when it cannot be prepared.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
      throw StoreError(std::string("prepare failed: ") + sqlite3_errmsg(db));
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& text(int index, std::string_view value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& integer(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or SQLITE_CONSTRAINT; anything else throws.
  int step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE || (rc & 0xff) == SQLITE_CONSTRAINT) return rc & 0xff;
    throw StoreError(std::string("step failed: ") + sqlite3_errmsg(db_));
  }
  std::string column(int index) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index))) : std::string();
  }
  std::int64_t columnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

const char* purposeName(CodePurpose purpose) {
  return purpose == CodePurpose::confirmSignUp ? "confirm" : "reset";
}

constexpr const char* kUserColumns = "sub, username, email, confirmed, password_hash, created_at";

}  // namespace

std::string foldCase(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::unique_ptr<AccountStore> AccountStore::open(const std::filesystem::path& file) {
  const auto fail = [&](const std::string& why) { return StoreError("cannot open " + file.string() + ": " + why); };
  std::error_code ec;
  if (file.has_parent_path()) {
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) throw fail(ec.message());
    ::chmod(file.parent_path().c_str(), 0700);
  }
  // Create the file ourselves so that it is never readable by others, even briefly.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw fail(std::strerror(errno));
  ::fchmod(fd, 0600);
  ::close(fd);

  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::string why = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw fail(why);
  }
  std::unique_ptr<AccountStore> store(new AccountStore(db));
  sqlite3_busy_timeout(db, 5000);
  const char* setup =
      "PRAGMA journal_mode=WAL;"
      "PRAGMA synchronous=FULL;"
      "PRAGMA foreign_keys=ON;"
      "CREATE TABLE IF NOT EXISTS users("
      " sub TEXT PRIMARY KEY NOT NULL,"
      " username TEXT NOT NULL,"
      " username_key TEXT NOT NULL UNIQUE,"
      " email TEXT NOT NULL,"
      " email_key TEXT NOT NULL,"
      " confirmed INTEGER NOT NULL DEFAULT 0,"
      " password_hash TEXT NOT NULL,"
      " created_at INTEGER NOT NULL);"
      // The e-mail alias: at most one confirmed user per address.
      "CREATE UNIQUE INDEX IF NOT EXISTS users_confirmed_email ON users(email_key) WHERE confirmed = 1;"
      "CREATE TABLE IF NOT EXISTS codes("
      " sub TEXT NOT NULL REFERENCES users(sub) ON DELETE CASCADE,"
      " purpose TEXT NOT NULL,"
      " code TEXT NOT NULL,"
      " expires_at INTEGER NOT NULL,"
      " PRIMARY KEY(sub, purpose));";
  char* err = nullptr;
  if (sqlite3_exec(db, setup, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string why = err ? err : "setup failed";
    sqlite3_free(err);
    throw fail(why);
  }
  return store;
}

AccountStore::~AccountStore() { sqlite3_close(db_); }

std::optional<UserRecord> AccountStore::findOne(const char* where, std::string_view key) const {
  const std::string sql = std::string("SELECT ") + kUserColumns + " FROM users WHERE " + where;
  Statement stmt(db_, sql.c_str());
  stmt.text(1, key);
  if (stmt.step() != SQLITE_ROW) return std::nullopt;
  return UserRecord{stmt.column(0), stmt.column(1), stmt.column(2), stmt.columnInt(3) != 0, stmt.column(4),
                    stmt.columnInt(5)};
}

std::optional<UserRecord> AccountStore::findByUsername(std::string_view username) const {
  return findOne("username_key = ?1", foldCase(username));
}

std::optional<UserRecord> AccountStore::findConfirmedByEmail(std::string_view email) const {
  return findOne("email_key = ?1 AND confirmed = 1", foldCase(email));
}

std::optional<UserRecord> AccountStore::findBySub(std::string_view sub) const { return findOne("sub = ?1", sub); }

bool AccountStore::insert(const UserRecord& user) {
  Statement stmt(db_,
                 "INSERT INTO users(sub, username, username_key, email, email_key, confirmed, password_hash, created_at)"
                 " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  stmt.text(1, user.sub).text(2, user.username).text(3, foldCase(user.username)).text(4, user.email);
  stmt.text(5, foldCase(user.email)).integer(6, user.confirmed ? 1 : 0).text(7, user.passwordHash);
  stmt.integer(8, user.createdAt);
  return stmt.step() == SQLITE_DONE;
}

bool AccountStore::markConfirmed(std::string_view sub) {
  Statement stmt(db_, "UPDATE users SET confirmed = 1 WHERE sub = ?1");
  stmt.text(1, sub);
  return stmt.step() == SQLITE_DONE;
}

void AccountStore::setPasswordHash(std::string_view sub, std::string_view hash) {
  Statement stmt(db_, "UPDATE users SET password_hash = ?2 WHERE sub = ?1");
  stmt.text(1, sub).text(2, hash);
  if (stmt.step() != SQLITE_DONE) fail("password update refused");
}

void AccountStore::setCode(std::string_view sub, CodePurpose purpose, const PendingCode& code) {
  Statement stmt(db_, "INSERT OR REPLACE INTO codes(sub, purpose, code, expires_at) VALUES(?1, ?2, ?3, ?4)");
  stmt.text(1, sub).text(2, purposeName(purpose)).text(3, code.code).integer(4, code.expiresAt);
  if (stmt.step() != SQLITE_DONE) fail("code write refused");
}

std::optional<PendingCode> AccountStore::code(std::string_view sub, CodePurpose purpose) const {
  Statement stmt(db_, "SELECT code, expires_at FROM codes WHERE sub = ?1 AND purpose = ?2");
  stmt.text(1, sub).text(2, purposeName(purpose));
  if (stmt.step() != SQLITE_ROW) return std::nullopt;
  return PendingCode{stmt.column(0), stmt.columnInt(1)};
}

void AccountStore::clearCode(std::string_view sub, CodePurpose purpose) {
  Statement stmt(db_, "DELETE FROM codes WHERE sub = ?1 AND purpose = ?2");
  stmt.text(1, sub).text(2, purposeName(purpose));
  stmt.step();
}

void AccountStore::fail(const std::string& what) const { throw StoreError(what + ": " + sqlite3_errmsg(db_)); }

}  // namespace deskwave::accounts
