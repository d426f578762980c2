#include "capture/ax_response_reader.h"

#include "capture/ax_reply_extraction.h"
#include "platform/text.h"

namespace deskwave {

AXResponseReader::AXResponseReader(std::shared_ptr<Desktop> desktop, std::int32_t pid, std::string sentPrompt)
    : desktop_(std::move(desktop)), pid_(pid), sentPrompt_(trimWhitespace(sentPrompt)),
      appElement_(desktop_->applicationElement(pid_)) {
  exposeTree();
}

void AXResponseReader::exposeTree() {
  if (!appElement_) return;
  desktop_->setTrue(appElement_, ax::kManualAccessibility);
  desktop_->setTrue(appElement_, ax::kEnhancedUserInterface);
}

std::optional<std::string> AXResponseReader::pollStableReply() {
  if (!desktop_->isTrusted()) {
    std::lock_guard lock(mutex_);
    lastStatus_ = "no Accessibility";
    return std::nullopt;
  }
  if (!appElement_) {
    // Not on the accessibility bus when the prompt was pasted (still starting,
    // or its bridge was late): look again at every poll until it is there.
    appElement_ = desktop_->applicationElement(pid_);
  }
  exposeTree();  // an application restarted or reloaded may have dropped it
  auto reply = ax_reply::extractReply(ax_reply::collectItems(*desktop_, appElement_), sentPrompt_);

  std::lock_guard lock(mutex_);
  if (reply.empty()) {
    lastReply_.clear();
    stableTicks_ = 0;
    lastStatus_ = "no reply yet";
    return std::nullopt;
  }
  const auto chars = std::to_string(graphemeCount(reply));
  if (reply != lastReply_) {
    lastReply_ = std::move(reply);
    stableTicks_ = 0;
    lastStatus_ = "growing (" + chars + " chars)";
    return std::nullopt;
  }
  ++stableTicks_;
  lastStatus_ = "stable " + std::to_string(stableTicks_) + "/" + std::to_string(kStableTicksNeeded) + " (" + chars +
                " chars)";
  if (stableTicks_ < kStableTicksNeeded) return std::nullopt;
  return lastReply_;
}

std::string AXResponseReader::lastStatus() const {
  std::lock_guard lock(mutex_);
  return lastStatus_;
}

std::string AXResponseReader::lastReply() const {
  std::lock_guard lock(mutex_);
  return lastReply_;
}

}  // namespace deskwave
