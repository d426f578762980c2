#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "capture/reply_reader.h"

namespace deskwave {

// Where Cursor keeps its state database under the home folder: the one place
// that decides it for every platform.
std::filesystem::path cursorStateDatabasePath(const std::filesystem::path& home);

// Finds the reply to one prompt in Cursor's state database: the newest
// conversation, the last user message carrying the prompt, and every assistant
// text after it (the narration between tool calls included), up to the next
// user message. Opens the database read-only for each poll. Nothing is
// returned while the conversation's record says it is generating, nor, in old
// records without a status, while a tool bubble follows the text. Then the
// reply is returned once stable (one poll under 240 characters, two equal
// polls at 240 or more).
class CursorDBReader final : public DatabaseReplyReader {
 public:
  static constexpr std::size_t kLongReply = 240;

  // Touches no file; the first poll looks for the database.
  CursorDBReader(std::string sentPrompt, std::filesystem::path dbPath);

  // One poll: opens the database read-only (waiting at most 250 ms for a
  // writer's lock), reads, closes it again.
  std::optional<std::string> pollStableReply() override;
  // One line about the last poll ("waiting (db)" before the first).
  std::string lastStatus() const override { return lastStatus_; }
  // False after a poll that found no database file or could not open it.
  bool dbAvailable() const override { return dbAvailable_; }

 private:
  std::string sentPrompt_;
  std::filesystem::path dbPath_;
  std::optional<std::string> pendingReply_;
  int pendingStablePolls_ = 0;
  std::string lastStatus_ = "waiting (db)";
  bool dbAvailable_ = true;
};

}  // namespace deskwave
