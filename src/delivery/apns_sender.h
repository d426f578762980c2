#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "delivery/push_sender.h"
#include "platform/http_client.h"
#include "platform/paths.h"
#include "platform/runtime.h"
#include "platform/settings_store.h"

namespace deskwave {

// Where and as whom the desktop talks to the Apple Push Notification service.
struct APNsConfig {
  std::string keyID;              // "kid" of the signing key at Apple
  std::string teamID;             // "iss": the developer team
  std::string topic;              // the phone app's bundle identifier
  std::string sandboxHost;        // "host" or "host:port"
  std::string productionHost;     // "host" or "host:port"
  std::filesystem::path keyPath;  // PEM file of the P-256 signing key
};

// The values built into the program, each overridden by the environment
// variable of the same name when that is set and not empty:
// DESKWAVE_APNS_KEY_ID, DESKWAVE_APNS_TEAM_ID, DESKWAVE_APNS_TOPIC,
// DESKWAVE_APNS_HOST_SANDBOX, DESKWAVE_APNS_HOST_PRODUCTION. The key file is
// "Deskwave/AuthKey.p8" in the user's data folder.
APNsConfig apnsConfigFromEnvironment(const Paths& paths);

// Sends alert notifications to the phone through the APNs provider API,
// authenticated by an ES256 token signed here with the key file. Fire and
// forget: outcomes are only logged. `setDeviceToken` and `send` are meant for
// the main thread but are safe from any thread; completions run on the
// background executor and only log.
class APNsSender final : public PushSender {
 public:
  using Log = std::function<void(std::string_view)>;

  static constexpr const char* kDeviceTokenKey = "deskwave.apns.deviceToken";  // string
  static constexpr const char* kSandboxKey = "deskwave.apns.sandbox";          // bool
  static constexpr Seconds kTokenLifetime{3000};
  static constexpr Seconds kRequestTimeout{60};
  static constexpr std::size_t kMaxBodyCharacters = 180;

  APNsSender(APNsConfig config, std::shared_ptr<SettingsStore> settings, std::shared_ptr<HttpClient> http,
             const Runtime& runtime, Log log);

  void setDeviceToken(const std::string& token, bool sandbox) override;
  void send(const std::string& title, const std::string& body, bool alwaysAlert) override;

 private:
  struct CachedToken {
    std::string token;
    MonoTime at;
  };

  // The current provider token, signing a new one when the cached one is too
  // old; nullopt when the key file is missing or unusable. Caller holds mutex_.
  std::optional<std::string> makeJWT();
  HttpRequest buildRequest(const std::string& jwt, const std::string& title, const std::string& body,
                           bool alwaysAlert) const;

  const std::string keyID_;
  const std::string teamID_;
  const std::string topic_;
  const std::filesystem::path keyPath_;
  std::optional<std::string> deviceToken_;
  bool useSandbox_ = true;
  std::optional<CachedToken> cachedJWT_;

  const std::string sandboxHost_;
  const std::string productionHost_;
  std::shared_ptr<SettingsStore> settings_;
  std::shared_ptr<HttpClient> http_;
  std::shared_ptr<Executor> background_;
  std::shared_ptr<Clock> clock_;
  Log log_;
  mutable std::mutex mutex_;
};

}  // namespace deskwave
