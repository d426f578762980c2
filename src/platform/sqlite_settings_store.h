#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/settings_store.h"

struct sqlite3;

namespace deskwave {

// Settings kept in an SQLite database (mode 0600, write-ahead log, every write
// durable when it returns). Values are read from the database on every call, so
// a second process (the command line) sees and makes changes at once.
class SqliteSettingsStore final : public SettingsStore {
 public:
  using ErrorSink = std::function<void(const std::string&)>;

  // Opens or creates the database, creating missing folders (mode 0700).
  // Returns null and reports through `onError` when it cannot.
  static std::unique_ptr<SqliteSettingsStore> open(const std::filesystem::path& file,
                                                   ErrorSink onError = {});
  ~SqliteSettingsStore() override;

  std::optional<SettingValue> value(std::string_view key) const override;
  void setValue(std::string_view key, SettingValue value) override;
  void remove(std::string_view key) override;
  void flush() override;

 private:
  SqliteSettingsStore(sqlite3* db, ErrorSink onError);
  void report(const std::string& what) const;

  sqlite3* db_;
  ErrorSink onError_;
  mutable std::mutex mutex_;
};

}  // namespace deskwave
