#include "capture/response_watcher.h"

#include "capture/text_rules.h"
#include "platform/text.h"

namespace deskwave {

std::shared_ptr<ResponseWatcher> ResponseWatcher::create(std::int32_t pid, std::string target, std::string sentPrompt,
                                                         WatcherReaders readers, Runtime runtime,
                                                         std::shared_ptr<WatcherDebugLog> log) {
  return std::shared_ptr<ResponseWatcher>(new ResponseWatcher(pid, std::move(target), std::move(sentPrompt),
                                                              std::move(readers), std::move(runtime), std::move(log)));
}

ResponseWatcher::ResponseWatcher(std::int32_t pid, std::string target, std::string sentPrompt, WatcherReaders readers,
                                 Runtime runtime, std::shared_ptr<WatcherDebugLog> log)
    : pid_(pid), target_(std::move(target)), sentPrompt_(std::move(sentPrompt)), readers_(std::move(readers)),
      runtime_(std::move(runtime)), log_(std::move(log)), startedAt_(runtime_.clock->monotonic()) {
  if (lowercased(target_) == "cursor") {
    windowDelay_ = kCursorWindowDelay;
    log_->log("  Capture: Cursor DB + transcript (premium), Accessibility (generic backup)");
  } else {
    windowDelay_ = 0;
    readers_.db.reset();
    readers_.transcript.reset();
    log_->log("  Capture: Accessibility window-read (GENERIC \u2014 works on any AI app)");
  }
}

ResponseWatcher::~ResponseWatcher() { cancelTimers(); }

bool ResponseWatcher::active() const {
  std::lock_guard lock(mutex_);
  return active_;
}

bool ResponseWatcher::responseDelivered() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

void ResponseWatcher::start() {
  {
    std::lock_guard lock(mutex_);
    if (active_ || stopped_ || delivered_) return;
    active_ = true;
  }
  startedAt_ = runtime_.clock->monotonic();
  log_->log("\u25B6 start: target='" + target_ + "' pid=" + std::to_string(pid_) + ", prompt " +
            std::to_string(graphemeCount(sentPrompt_)) + " chars");
  const std::weak_ptr<ResponseWatcher> weak = weak_from_this();
  auto startDelay = runtime_.background->postAfter(Seconds(kStartDelay), [weak] {
    if (auto self = weak.lock()) self->beginCapturePolling();
  });
  auto timeout = runtime_.background->postAfter(Seconds(kTimeout), [weak] {
    auto self = weak.lock();
    if (!self || !self->active()) return;
    self->log_->log("\u23F0 Timeout \u2014 stopping");
    self->stop();
  });
  bool stoppedMeanwhile = false;
  {
    std::lock_guard lock(mutex_);
    startDelay_ = startDelay;
    timeout_ = timeout;
    stoppedMeanwhile = !active_;
  }
  if (stoppedMeanwhile) cancelTimers();
}

void ResponseWatcher::beginCapturePolling() {
  {
    std::lock_guard lock(mutex_);
    if (!active_ || polling_) return;
    polling_ = true;
  }
  log_->log("\u25B6 Transcript poll every 2s");
  const std::weak_ptr<ResponseWatcher> weak = weak_from_this();
  auto timer = runtime_.utility->repeat(Seconds(0), Seconds(kPollPeriod), [weak] {
    if (auto self = weak.lock()) self->pollCapture();
  });
  bool stoppedMeanwhile = false;
  {
    std::lock_guard lock(mutex_);
    pollTimer_ = timer;
    stoppedMeanwhile = !active_;
  }
  if (stoppedMeanwhile) timer.cancel();
}

void ResponseWatcher::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    active_ = false;
  }
  cancelTimers();
}

void ResponseWatcher::cancelTimers() {
  TaskHandle startDelay, pollTimer, timeout;
  {
    std::lock_guard lock(mutex_);
    startDelay = startDelay_;
    pollTimer = pollTimer_;
    timeout = timeout_;
  }
  startDelay.cancel();
  pollTimer.cancel();
  timeout.cancel();
}

bool ResponseWatcher::tryDeliver(const std::optional<std::string>& reply, const char* via) {
  if (!reply) return false;
  const auto text = trimWhitespace(*reply);
  if (text.empty() || text_rules::looksLikeDeskwaveDebugLog(text) || !text_rules::isValidReply(text, sentPrompt_))
    return false;
  deliver(text, via);
  return true;
}

void ResponseWatcher::pollCapture() {
  {
    std::lock_guard lock(mutex_);
    if (!active_ || delivered_) return;
  }
  const auto n = std::to_string(++pollCount_);

  if (readers_.db) {
    log_->log("Poll #" + n + " [db]: " + readers_.db->lastStatus());
    if (tryDeliver(readers_.db->pollStableReply(), "db")) return;
  }
  if (readers_.transcript && (!readers_.db || !readers_.db->dbAvailable())) {
    log_->log("Poll #" + n + " [transcript]: " + readers_.transcript->lastStatus());
    if (tryDeliver(readers_.transcript->pollStableReply(), "transcript")) return;
  }
  const double sinceStart = std::chrono::duration<double>(runtime_.clock->monotonic() - startedAt_).count();
  if (sinceStart < windowDelay_) {
    log_->log("Poll #" + n + " [ax]: holding for premium reader");
    return;
  }
  log_->log("Poll #" + n + " [ax]: " + readers_.window->lastStatus());
  if (tryDeliver(readers_.window->pollStableReply(), "ax")) return;

  auto partial = trimWhitespace(readers_.window->lastReply());
  if (partial.empty()) return;
  runtime_.main->post([weak = weak_from_this(), partial = std::move(partial)] {
    auto self = weak.lock();
    if (!self || !self->onPartial) return;
    {
      std::lock_guard lock(self->mutex_);
      if (self->delivered_ || self->stopped_) return;
    }
    self->onPartial(partial);
  });
}

bool ResponseWatcher::claimDelivery() {
  {
    std::lock_guard lock(mutex_);
    if (!active_ || delivered_) return false;
    delivered_ = true;
    active_ = false;
  }
  cancelTimers();
  return true;
}

void ResponseWatcher::deliver(const std::string& text, const char* via) {
  // A reply read by a poll that stop() overtook is dropped here.
  if (!claimDelivery()) return;
  log_->log(std::string("\u2705 Response via ") + via + ": " + std::to_string(graphemeCount(text)) +
            " chars \u2014 sending to iPhone");
  const auto preview = graphemePrefix(text, 120);
  const auto lines = text_rules::splitLines(preview);
  std::string shown;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) shown += "\u21B5";  // each newline shows as ↵
    shown += lines[i];
  }
  log_->log("   Preview: \"" + shown + "\"");
  runtime_.main->post([weak = weak_from_this(), text] {
    if (auto self = weak.lock()) self->handOver(text);
  });
}

void ResponseWatcher::handOver(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;  // stopped by its owner after the reply was found
  }
  if (onResponse) onResponse(target_, text);
}

}  // namespace deskwave
