#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/secret_store.h"

namespace deskwave {

// Secrets in one JSON object of strings, readable by the user alone: the
// fallback where no desktop keyring answers. The file is always written whole
// to a temporary file of mode 0600 in the same folder and renamed over the old
// one; a file found with wider permissions is tightened to 0600. An unreadable
// or corrupt file reads as holding nothing, and the next write replaces it.
// Safe to use from any thread.
class FileSecretStore final : public SecretStore {
 public:
  using Log = std::function<void(const std::string&)>;

  // `file` is usually Paths::secretsFile(); its folder is created when missing.
  explicit FileSecretStore(std::filesystem::path file, Log log = {});

  std::optional<std::string> get(const std::string& key) override;
  void set(const std::string& value, const std::string& key) override;
  void remove(const std::string& key) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  struct Contents;
  Contents read();
  bool write(const Contents& contents);
  // Logging happens outside the lock: lines are queued, then flushed.
  void logOnce(const std::string& line);
  void flushLog();

  std::filesystem::path file_;
  Log log_;
  std::mutex mutex_;
  std::set<std::string> logged_;       // lines already logged once
  std::vector<std::string> unlogged_;  // queued under the lock, logged after it
};

// The secrets file of the configuration folder.
std::filesystem::path secretsFile(const std::filesystem::path& configDir);

}  // namespace deskwave
