#include "delivery/apns_sender.h"

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utility>
#include <variant>

#include "platform/base64.h"
#include "platform/es256.h"
#include "platform/file_info.h"
#include "platform/text.h"

// Build-time defaults; the build normally defines all of them.
#ifndef DESKWAVE_APNS_KEY_ID
#define DESKWAVE_APNS_KEY_ID ""
#endif
#ifndef DESKWAVE_APNS_TEAM_ID
#define DESKWAVE_APNS_TEAM_ID ""
#endif
#ifndef DESKWAVE_APNS_TOPIC
#define DESKWAVE_APNS_TOPIC ""
#endif
#ifndef DESKWAVE_APNS_HOST_SANDBOX
#define DESKWAVE_APNS_HOST_SANDBOX "api.sandbox.push.apple.com"
#endif
#ifndef DESKWAVE_APNS_HOST_PRODUCTION
#define DESKWAVE_APNS_HOST_PRODUCTION "api.push.apple.com"
#endif

namespace deskwave {
namespace {

std::string fromEnvironment(const char* variable, const char* builtIn) {
  if (const char* value = std::getenv(variable); value && *value) return value;
  return builtIn;
}

// Stored as a boolean (or, by the store's convention, an integer); anything
// else, or nothing, means the sandbox.
bool storedSandbox(const SettingsStore& settings) {
  const auto value = settings.value(APNsSender::kSandboxKey);
  if (!value) return true;
  if (const auto* b = std::get_if<bool>(&*value)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&*value)) return *i != 0;
  return true;
}

// Device tokens are hexadecimal; anything else is percent-encoded so that a
// malformed registration cannot reshape the request path.
std::string urlPathSegment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

// JSON text that never throws: malformed UTF-8 becomes U+FFFD.
std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

APNsConfig apnsConfigFromEnvironment(const Paths& paths) {
  return APNsConfig{
      fromEnvironment("DESKWAVE_APNS_KEY_ID", DESKWAVE_APNS_KEY_ID),
      fromEnvironment("DESKWAVE_APNS_TEAM_ID", DESKWAVE_APNS_TEAM_ID),
      fromEnvironment("DESKWAVE_APNS_TOPIC", DESKWAVE_APNS_TOPIC),
      fromEnvironment("DESKWAVE_APNS_HOST_SANDBOX", DESKWAVE_APNS_HOST_SANDBOX),
      fromEnvironment("DESKWAVE_APNS_HOST_PRODUCTION", DESKWAVE_APNS_HOST_PRODUCTION),
      paths.dataHome() / "Deskwave" / "AuthKey.p8",
  };
}

APNsSender::APNsSender(APNsConfig config, std::shared_ptr<SettingsStore> settings, std::shared_ptr<HttpClient> http,
                       const Runtime& runtime, Log log)
    : keyID_(std::move(config.keyID)),
      teamID_(std::move(config.teamID)),
      topic_(std::move(config.topic)),
      keyPath_(std::move(config.keyPath)),
      deviceToken_(settings->getString(kDeviceTokenKey)),
      useSandbox_(storedSandbox(*settings)),
      sandboxHost_(std::move(config.sandboxHost)),
      productionHost_(std::move(config.productionHost)),
      settings_(std::move(settings)),
      http_(std::move(http)),
      background_(runtime.background),
      clock_(runtime.clock),
      log_(log ? std::move(log) : Log([](std::string_view) {})) {}

void APNsSender::setDeviceToken(const std::string& token, bool sandbox) {
  {
    std::lock_guard lock(mutex_);
    deviceToken_ = token;
    useSandbox_ = sandbox;
  }
  settings_->setString(kDeviceTokenKey, token);
  settings_->setBool(kSandboxKey, sandbox);
  log_("APNs: device token registered (" + graphemePrefix(token, 8) + "…, sandbox=" + (sandbox ? "true" : "false") +
       ")");
}

void APNsSender::send(const std::string& title, const std::string& body, bool alwaysAlert) {
  std::optional<HttpRequest> request;
  {
    std::lock_guard lock(mutex_);
    if (!deviceToken_) return;
    if (auto jwt = makeJWT()) request = buildRequest(*jwt, title, body, alwaysAlert);
  }
  if (!request) {
    log_("APNs: ❌ JWT failed (is AuthKey.p8 present?)");
    return;
  }
  // The completion needs nothing of the sender, so it may outlive it.
  http_->send(std::move(*request), background_, [log = log_](HttpResult result) {
    if (!result.response) {
      log("APNs: send error " + result.error);
    } else if (result.response->status == 200) {
      log("APNs: ✅ push delivered");
    } else {
      const auto& text = result.response->body;
      log("APNs: push status " + std::to_string(result.response->status) + " " +
          (isValidUtf8(text) ? text : std::string()));
    }
  });
}

std::optional<std::string> APNsSender::makeJWT() {
  const auto now = clock_->monotonic();
  if (cachedJWT_ && now - cachedJWT_->at < kTokenLifetime) return cachedJWT_->token;

  // Read afresh for every new token, so a replaced key file takes effect.
  const auto pem = readWholeFile(keyPath_);
  if (!pem || !isValidUtf8(*pem)) return std::nullopt;
  const auto key = Es256PrivateKey::fromPem(*pem);
  if (!key) return std::nullopt;

  const auto issuedAt = std::chrono::duration_cast<std::chrono::seconds>(clock_->now().time_since_epoch()).count();
  const std::string header = base64UrlEncode(jsonText({{"alg", "ES256"}, {"kid", keyID_}}));
  const std::string claims = base64UrlEncode(jsonText({{"iss", teamID_}, {"iat", issuedAt}}));
  const std::string signingInput = header + "." + claims;
  const auto signature = key->sign(signingInput);
  if (!signature) return std::nullopt;
  std::string token = signingInput + "." + base64UrlEncode(Bytes(signature->begin(), signature->end()));
  cachedJWT_ = CachedToken{token, now};
  return token;
}

HttpRequest APNsSender::buildRequest(const std::string& jwt, const std::string& title, const std::string& body,
                                     bool alwaysAlert) const {
  HttpRequest request;
  request.method = "POST";
  request.url =
      "https://" + (useSandbox_ ? sandboxHost_ : productionHost_) + "/3/device/" + urlPathSegment(*deviceToken_);
  request.headers = {
      {"authorization", "bearer " + jwt},
      {"apns-topic", topic_},
      {"apns-push-type", "alert"},
      {"apns-priority", "10"},
  };
  const nlohmann::json payload = {
      {"aps",
       {{"alert", {{"title", title}, {"body", graphemePrefix(body, kMaxBodyCharacters)}}}, {"sound", "default"}}},
      {"dw-always", alwaysAlert},
  };
  request.body = jsonText(payload);
  request.timeout = kRequestTimeout;
  request.http2Only = true;
  return request;
}

}  // namespace deskwave
