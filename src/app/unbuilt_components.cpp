#include "app/unbuilt_components.h"

#include <atomic>

namespace deskwave {
namespace {

// Logs "<what> is not part of this build yet" the first time it is used.
class NotYetBuilt {
 public:
  NotYetBuilt(std::shared_ptr<WatcherDebugLog> log, std::string what) : log_(std::move(log)), what_(std::move(what)) {}
  void used() {
    if (!said_.exchange(true)) log_->log(what_ + " is not part of this build yet");
  }

 private:
  std::shared_ptr<WatcherDebugLog> log_;
  std::string what_;
  std::atomic<bool> said_{false};
};

class UnbuiltSleepInhibitor final : public SleepInhibitor {
 public:
  explicit UnbuiltSleepInhibitor(std::shared_ptr<WatcherDebugLog> log)
      : n_(std::move(log), "Keep-awake: idle-sleep inhibition") {}
  Token begin(const std::string&) override {
    n_.used();
    return ++last_;
  }
  void end(Token) override {}

 private:
  NotYetBuilt n_;
  Token last_ = 0;
};

}  // namespace

BridgeComponents makeUnbuiltComponents(std::shared_ptr<SettingsStore> settings, std::shared_ptr<WatcherDebugLog> log) {
  BridgeComponents c;
  c.settings = std::move(settings);
  c.log = log;
  c.sleepInhibitor = std::make_shared<UnbuiltSleepInhibitor>(std::move(log));
  return c;
}

}  // namespace deskwave
