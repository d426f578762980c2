#include "app/unbuilt_components.h"

#include <atomic>
#include <map>
#include <mutex>

#include "platform/http_client.h"
#include "platform/secret_store.h"

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

class NoHttpClient final : public HttpClient {
 public:
  explicit NoHttpClient(std::shared_ptr<WatcherDebugLog> log) : n_(std::move(log), "Account: network client") {}
  void send(HttpRequest, std::shared_ptr<Executor> completeOn, Completion done) override {
    n_.used();
    completeOn->post([done = std::move(done)] { done(HttpResult{std::nullopt, "no network client"}); });
  }

 private:
  NotYetBuilt n_;
};

// Tokens for this run only.
class UnbuiltSecretStore final : public SecretStore {
 public:
  explicit UnbuiltSecretStore(std::shared_ptr<WatcherDebugLog> log) : n_(std::move(log), "Account: keychain") {}
  std::optional<std::string> get(const std::string& key) override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  void set(const std::string& value, const std::string& key) override {
    n_.used();
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(key, value);
  }
  void remove(const std::string& key) override {
    std::lock_guard lock(mutex_);
    values_.erase(key);
  }

 private:
  NotYetBuilt n_;
  std::mutex mutex_;
  std::map<std::string, std::string> values_;
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

BridgeComponents makeUnbuiltComponents(std::shared_ptr<Executor> main, std::shared_ptr<SettingsStore> settings,
                                       std::shared_ptr<WatcherDebugLog> log, std::shared_ptr<HttpClient> http,
                                       std::shared_ptr<SecretStore> secrets) {
  if (!http) http = std::make_shared<NoHttpClient>(log);
  if (!secrets) secrets = std::make_shared<UnbuiltSecretStore>(log);
  BridgeComponents c;
  c.settings = settings;
  c.log = log;
  c.push = std::make_shared<UnbuiltPush>(log);
  c.auth = AuthState::create(std::move(main), settings, std::move(secrets),
                             std::make_shared<CognitoAPI>(std::move(http), cognitoConfigFromEnvironment()));
  c.sleepInhibitor = std::make_shared<UnbuiltSleepInhibitor>(log);
  return c;
}

}  // namespace deskwave
