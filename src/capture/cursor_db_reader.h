#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "capture/reply_reader.h"

namespace deskwave {

// Where Cursor keeps its state database under the home folder.
std::filesystem::path cursorStateDatabasePath(const std::filesystem::path& home);

// Finds the reply to one prompt in Cursor's state database: the newest
// conversation, the last user message carrying the prompt, and the assistant
// messages after it. Opens the database read-only for each poll. Returns the
// reply once stable (one poll under 240 characters, two at 240 or more).
class CursorDBReader final : public DatabaseReplyReader {
 public:
  static constexpr std::size_t kLongReply = 240;

  CursorDBReader(std::string sentPrompt, std::filesystem::path dbPath);

  std::optional<std::string> pollStableReply() override;
  std::string lastStatus() const override { return lastStatus_; }
  bool dbAvailable() const override { return dbAvailable_; }

  // "file:" + the percent-encoded path + "?mode=ro".
  static std::string readOnlyUri(const std::filesystem::path& path);

 private:
  std::string sentPrompt_;
  std::filesystem::path dbPath_;
  std::optional<std::string> pendingReply_;
  int pendingStablePolls_ = 0;
  std::string lastStatus_ = "waiting (db)";
  bool dbAvailable_ = true;
};

}  // namespace deskwave
