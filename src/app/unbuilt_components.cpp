#include "app/unbuilt_components.h"

#include <atomic>

#include "app/settings_keys.h"

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

class UnbuiltPush final : public PushSender {
 public:
  explicit UnbuiltPush(std::shared_ptr<WatcherDebugLog> log) : n_(std::move(log), "APNs: push notification") {}
  void setDeviceToken(const std::string&, bool) override { n_.used(); }
  void send(const std::string&, const std::string&, bool) override { n_.used(); }

 private:
  NotYetBuilt n_;
};

class StoredAuthState final : public AuthState {
 public:
  explicit StoredAuthState(const SettingsStore& settings) { username.assign(settings.getString(keys::authUsername)); }
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

BridgeComponents makeUnbuiltComponents(std::shared_ptr<SettingsStore> settings,
                                       std::shared_ptr<WatcherDebugLog> log) {
  BridgeComponents c;
  c.settings = settings;
  c.log = log;
  c.push = std::make_shared<UnbuiltPush>(log);
  c.auth = std::make_shared<StoredAuthState>(*settings);
  c.sleepInhibitor = std::make_shared<UnbuiltSleepInhibitor>(log);
  return c;
}

}  // namespace deskwave
