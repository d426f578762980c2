#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;

namespace deskwave::accounts {

// A database operation failed (disk full, corrupt file…). The caller answers
// the request with an internal error; the store stays usable.
struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct UserRecord {
  std::string sub;       // lower-case UUID, never changes
  std::string username;  // as signed up
  std::string email;     // as signed up
  bool confirmed = false;
  std::string passwordHash;  // see password_hash.h
  std::int64_t createdAt = 0;  // Unix seconds
};

enum class CodePurpose { confirmSignUp, resetPassword };

struct PendingCode {
  std::string code;
  std::int64_t expiresAt = 0;  // Unix seconds
};

// The users of the pool and their pending codes, in an SQLite file (mode 0600).
// User names and e-mail addresses are matched without regard to ASCII letter
// case. An e-mail address is an alias for signing in, so it is unique among
// confirmed users; the database itself enforces that.
// Not thread-safe: one owner calls it from one thread.
class AccountStore {
 public:
  // Opens or creates the database, creating missing folders (mode 0700).
  // Throws StoreError when it cannot.
  static std::unique_ptr<AccountStore> open(const std::filesystem::path& file);
  ~AccountStore();
  AccountStore(const AccountStore&) = delete;
  AccountStore& operator=(const AccountStore&) = delete;

  std::optional<UserRecord> findByUsername(std::string_view username) const;
  std::optional<UserRecord> findConfirmedByEmail(std::string_view email) const;
  std::optional<UserRecord> findBySub(std::string_view sub) const;

  // False when the user name is taken.
  bool insert(const UserRecord& user);
  // False when another confirmed user holds the same e-mail address.
  bool markConfirmed(std::string_view sub);
  void setPasswordHash(std::string_view sub, std::string_view hash);

  // One pending code per user and purpose; a new one replaces the old.
  void setCode(std::string_view sub, CodePurpose purpose, const PendingCode& code);
  std::optional<PendingCode> code(std::string_view sub, CodePurpose purpose) const;
  void clearCode(std::string_view sub, CodePurpose purpose);

 private:
  explicit AccountStore(sqlite3* db) : db_(db) {}
  std::optional<UserRecord> findOne(const char* sql, std::string_view key) const;
  void fail(const std::string& what) const;

  sqlite3* db_;
};

// ASCII lower-case form used to compare user names and e-mail addresses.
std::string foldCase(std::string_view text);

}  // namespace deskwave::accounts
