#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/reply_reader.h"
#include "platform/clock.h"

namespace deskwave {

// Finds the reply to one prompt in the JSON-lines agent transcripts Cursor
// writes under ~/.cursor/projects. Follows the newest transcript, anchors on
// the last user message that carries the prompt, and returns the last assistant
// text after it once it is stable (one poll under 240 characters, two at 240 or
// more). Polled by one owner at a time.
class CursorTranscriptReader final : public ReplyReader {
 public:
  static constexpr std::size_t kLongReply = 240;
  static constexpr double kAdoptWindow = 30.0;

  CursorTranscriptReader(std::string sentPrompt, std::filesystem::path home, std::shared_ptr<Clock> clock);

  std::optional<std::string> pollStableReply() override;
  std::string lastStatus() const override { return lastStatus_; }
  const std::optional<std::filesystem::path>& trackedFile() const { return tracked_; }

  // The user text of a transcript line: the "text" of its "text" blocks joined
  // by newlines; nullopt when the line lacks the message structure.
  static std::optional<std::string> userText(std::string_view jsonLine);
  // The cleaned assistant text of a line whose role is "assistant".
  static std::optional<std::string> assistantText(std::string_view jsonLine);
  // The reply after the last user line carrying `sentPrompt` (see above).
  static std::optional<std::string> latestAssistantAfterUserPrompt(const std::vector<std::string_view>& lines,
                                                                   const std::string& sentPrompt);

 private:
  struct Snapshot {
    std::optional<std::filesystem::path> file;
    std::size_t lines = 0;
  };
  Snapshot bestTranscriptSnapshot(WallTime since) const;
  void adoptActiveTranscriptIfNeeded();

  std::string sentPrompt_;
  std::filesystem::path projectsRoot_;
  std::shared_ptr<Clock> clock_;
  WallTime watchStartedAt_;
  std::optional<std::filesystem::path> tracked_;
  std::optional<std::string> pendingReply_;
  int pendingStablePolls_ = 0;
  std::string lastStatus_;
};

// Non-empty lines of a file's text.
std::vector<std::string_view> nonEmptyLines(std::string_view text);

}  // namespace deskwave
