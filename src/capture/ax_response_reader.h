#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/reply_reader.h"
#include "platform/desktop.h"

namespace deskwave {

// Reads the reply to a prompt from the text of the target application's
// windows, through accessibility. Asks the application to expose its full tree
// (Electron and Chromium applications build it only on request), finds the
// sent prompt on screen and takes the text below it, above the chat composer.
// A reply counts as final once it reads the same on four polls after it first
// appeared. Polled by one owner at a time.
class AXResponseReader final : public WindowReplyReader {
 public:
  static constexpr int kStableTicksNeeded = 4;

  AXResponseReader(std::shared_ptr<Desktop> desktop, std::int32_t pid, std::string sentPrompt);

  std::optional<std::string> pollStableReply() override;
  std::string lastStatus() const override;
  // The reply text as last read, final or not; empty when none was found.
  std::string lastReply() const override;

 private:
  void exposeTree();

  std::shared_ptr<Desktop> desktop_;
  std::int32_t pid_;
  std::string sentPrompt_;  // trimmed
  AXElement appElement_;  // looked up again by the polls while missing

  mutable std::mutex mutex_;  // the poll state below, read by the accessors
  std::string lastReply_;
  int stableTicks_ = 0;
  std::string lastStatus_ = "idle";
};

}  // namespace deskwave
