#include "delivery/apns_sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "delivery/p256_test_keys.h"
#include "platform/base64.h"
#include "platform/es256.h"
#include "platform/memory_settings_store.h"
#include "platform/text.h"
#include "platform/virtual_time.h"
#include "support/fake_http_client.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kToken = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";
constexpr const char* kJwtFailed = "APNs: ❌ JWT failed (is AuthKey.p8 present?)";

// The three parts of a compact token, the first two decoded.
struct DecodedJwt {
  nlohmann::json header;
  nlohmann::json claims;
  std::string signingInput;
  std::string signaturePart;
  std::vector<std::string> parts;
};

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

DecodedJwt decodeJwt(const std::string& token) {
  DecodedJwt out;
  std::size_t start = 0;
  for (std::size_t dot; (dot = token.find('.', start)) != std::string::npos; start = dot + 1)
    out.parts.push_back(token.substr(start, dot - start));
  out.parts.push_back(token.substr(start));
  if (out.parts.size() != 3) return out;
  out.header = nlohmann::json::parse(text(base64UrlDecode(out.parts[0]).value_or(Bytes{})), nullptr, false);
  out.claims = nlohmann::json::parse(text(base64UrlDecode(out.parts[1]).value_or(Bytes{})), nullptr, false);
  out.signingInput = out.parts[0] + "." + out.parts[1];
  out.signaturePart = out.parts[2];
  return out;
}

std::string headerOf(const HttpRequest& request, const std::string& name) {
  for (const auto& [key, value] : request.headers)
    if (key == name) return value;
  return {};
}

// The token of a request, without "bearer ".
std::string jwtOf(const HttpRequest& request) {
  const auto auth = headerOf(request, "authorization");
  return auth.rfind("bearer ", 0) == 0 ? auth.substr(7) : std::string();
}

bool signatureVerifies(const std::string& publicPem, const DecodedJwt& jwt) {
  const auto raw = base64UrlDecode(jwt.signaturePart);
  if (!raw || raw->size() != 64) return false;
  Es256Signature signature{};
  std::copy(raw->begin(), raw->end(), signature.begin());
  return es256Verify(publicPem, jwt.signingInput, signature);
}

void writeFile(const std::filesystem::path& file, const std::string& content) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

class APNsSenderTest : public ::testing::Test {
 protected:
  APNsSenderTest() {
    config = APNsConfig{"KEY1234567",        "TEAM765432",           "com.example.deskwave",
                        "sandbox.apns.test", "production.apns.test", home.path() / "keys" / "AuthKey.p8"};
    writeFile(config.keyPath, keys.privatePem);
  }

  std::unique_ptr<APNsSender> makeSender() {
    return std::make_unique<APNsSender>(config, settings, http, runtime,
                                        [this](std::string_view line) { logs.emplace_back(line); });
  }

  // The request of one send, answered with 200 and run to completion.
  HttpRequest sendAndAnswer(APNsSender& sender, const std::string& title = "Cursor",
                            const std::string& body = "Done.") {
    const auto before = http->requests.size();
    sender.send(title, body, false);
    EXPECT_EQ(http->requests.size(), before + 1);
    if (http->requests.size() == before) return {};
    http->respond(200);
    time->runUntilIdle();
    return http->requests.back();
  }

  std::int64_t nowSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(time->clock()->now().time_since_epoch()).count();
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create(VirtualTime::defaultStart() + std::chrono::milliseconds(750));
  Runtime runtime = time->runtime();
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  P256KeyPair keys = makeP256KeyPair();
  APNsConfig config;
  std::vector<std::string> logs;
};

TEST_F(APNsSenderTest, RequestCarriesUrlHeadersBodyAndASignedToken) {
  auto sender = makeSender();
  sender->setDeviceToken(kToken, true);
  sender->send("Claude", "All tests pass.", true);

  ASSERT_EQ(http->requests.size(), 1u);
  const auto& request = http->requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, std::string("https://sandbox.apns.test/3/device/") + kToken);
  EXPECT_EQ(request.timeout, Seconds(60));
  EXPECT_TRUE(request.http2Only);
  ASSERT_EQ(request.headers.size(), 4u);
  EXPECT_EQ(headerOf(request, "apns-topic"), "com.example.deskwave");
  EXPECT_EQ(headerOf(request, "apns-push-type"), "alert");
  EXPECT_EQ(headerOf(request, "apns-priority"), "10");
  ASSERT_TRUE(request.body);
  EXPECT_EQ(
      nlohmann::json::parse(*request.body),
      (nlohmann::json{{"aps", {{"alert", {{"title", "Claude"}, {"body", "All tests pass."}}}, {"sound", "default"}}},
                      {"dw-always", true}}));

  const auto jwt = decodeJwt(jwtOf(request));
  ASSERT_EQ(jwt.parts.size(), 3u) << headerOf(request, "authorization");
  EXPECT_EQ(jwt.header, (nlohmann::json{{"alg", "ES256"}, {"kid", "KEY1234567"}}));
  EXPECT_EQ(jwt.claims, (nlohmann::json{{"iss", "TEAM765432"}, {"iat", nowSeconds()}}));
  EXPECT_TRUE(jwt.claims["iat"].is_number_integer()) << "iat is whole seconds";
  for (const auto& part : jwt.parts) EXPECT_EQ(part.find_first_of("=+/"), std::string::npos) << part;
  EXPECT_TRUE(signatureVerifies(keys.publicPem, jwt));
  EXPECT_FALSE(signatureVerifies(makeP256KeyPair().publicPem, jwt)) << "another key must not verify";

  // The request is fire-and-forget: the answer only shows in the log, later,
  // from the background executor.
  EXPECT_EQ(http->pending.front().completeOn, runtime.background);
  http->respond(200);
  EXPECT_THAT(logs, ElementsAre("APNs: device token registered (a1b2c3d4…, sandbox=true)"));
  time->runUntilIdle();
  EXPECT_EQ(logs.back(), "APNs: ✅ push delivered");
}

TEST_F(APNsSenderTest, TokenIsReusedForUnder3000SecondsThenSignedAnew) {
  auto sender = makeSender();
  sender->setDeviceToken(kToken, true);
  const auto first = jwtOf(sendAndAnswer(*sender));
  const auto firstIat = decodeJwt(first).claims["iat"].get<std::int64_t>();

  time->advance(Seconds(600));
  EXPECT_EQ(jwtOf(sendAndAnswer(*sender)), first) << "10 minutes later";
  time->advance(Seconds(2399.5));
  EXPECT_EQ(jwtOf(sendAndAnswer(*sender)), first) << "just under 3000 s";

  time->advance(Seconds(0.5));
  const auto renewed = jwtOf(sendAndAnswer(*sender));
  EXPECT_NE(renewed, first) << "3000 s old";
  EXPECT_EQ(decodeJwt(renewed).claims["iat"].get<std::int64_t>(), firstIat + 3000);

  time->advance(Seconds(60));
  EXPECT_EQ(jwtOf(sendAndAnswer(*sender)), renewed);
}

TEST_F(APNsSenderTest, KeyFileIsReadAgainForEachNewToken) {
  auto sender = makeSender();
  sender->setDeviceToken(kToken, true);
  const auto first = decodeJwt(jwtOf(sendAndAnswer(*sender)));

  const auto replacement = makeP256KeyPair();
  writeFile(config.keyPath, replacement.privatePem);
  time->advance(Seconds(100));
  EXPECT_TRUE(signatureVerifies(keys.publicPem, decodeJwt(jwtOf(sendAndAnswer(*sender)))))
      << "the cached token stays in use";

  time->advance(Seconds(3000));
  const auto renewed = decodeJwt(jwtOf(sendAndAnswer(*sender)));
  EXPECT_TRUE(signatureVerifies(replacement.publicPem, renewed));
  EXPECT_FALSE(signatureVerifies(keys.publicPem, renewed));
}

TEST_F(APNsSenderTest, BodyIsCutTo180UserPerceivedCharactersTitleIsWhole) {
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // 👨‍👩‍👧
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";                     // 🇫🇷
  const std::string accented = "e\xCC\x81";                                        // e + U+0301
  struct Case {
    const char* name;
    std::string body;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"500 letters", std::string(500, 'x'), std::string(180, 'x')},
      {"emoji sequence at the boundary", std::string(179, 'a') + family + "tail", std::string(179, 'a') + family},
      {"flag at the boundary", std::string(179, 'a') + flag + flag, std::string(179, 'a') + flag},
      {"combining mark at the boundary", std::string(179, 'a') + accented + "zz", std::string(179, 'a') + accented},
      {"exactly 180", std::string(180, 'b'), std::string(180, 'b')},
      {"short", "fine", "fine"},
  };
  const std::string longTitle = std::string(250, 't') + family + std::string(249, 't');

  auto sender = makeSender();
  sender->setDeviceToken(kToken, true);
  for (const auto& c : cases) {
    const auto request = sendAndAnswer(*sender, longTitle, c.body);
    const auto alert = nlohmann::json::parse(request.body.value_or("{}"))["aps"]["alert"];
    EXPECT_EQ(alert["body"], c.expected) << c.name;
    EXPECT_EQ(alert["title"], longTitle) << c.name;
  }
}

TEST_F(APNsSenderTest, HostFollowsTheSandboxSetting) {
  struct Case {
    const char* name;
    std::optional<SettingValue> stored;
    const char* expectedHost;
  };
  const std::vector<Case> cases = {
      {"never written", std::nullopt, "sandbox.apns.test"},
      {"stored true", SettingValue(true), "sandbox.apns.test"},
      {"stored false", SettingValue(false), "production.apns.test"},
      {"not a boolean", SettingValue(std::string("production")), "sandbox.apns.test"},
  };
  for (const auto& c : cases) {
    settings = std::make_shared<MemorySettingsStore>();
    settings->setString(APNsSender::kDeviceTokenKey, kToken);
    if (c.stored) settings->setValue(APNsSender::kSandboxKey, *c.stored);
    auto sender = makeSender();
    const auto request = sendAndAnswer(*sender);
    EXPECT_EQ(request.url, std::string("https://") + c.expectedHost + "/3/device/" + kToken) << c.name;
  }
}

TEST_F(APNsSenderTest, RegistrationIsStoredAndSurvivesARestart) {
  makeSender()->setDeviceToken("feedface0123", false);
  EXPECT_EQ(settings->getString(APNsSender::kDeviceTokenKey), "feedface0123");
  EXPECT_EQ(settings->value(APNsSender::kSandboxKey), std::optional<SettingValue>(false));
  EXPECT_THAT(logs, ElementsAre("APNs: device token registered (feedface…, sandbox=false)"));

  auto restarted = makeSender();
  EXPECT_EQ(sendAndAnswer(*restarted).url, "https://production.apns.test/3/device/feedface0123");

  restarted->setDeviceToken("0123456789abcdef", true);
  EXPECT_EQ(sendAndAnswer(*restarted).url, "https://sandbox.apns.test/3/device/0123456789abcdef");
}

TEST_F(APNsSenderTest, DeviceTokenCannotReshapeTheRequestPath) {
  auto sender = makeSender();
  sender->setDeviceToken("ab/../x?y#z w", true);
  EXPECT_EQ(sendAndAnswer(*sender).url, "https://sandbox.apns.test/3/device/ab%2F..%2Fx%3Fy%23z%20w");
}

TEST_F(APNsSenderTest, WithoutADeviceTokenNothingIsSentOrLogged) {
  std::filesystem::remove(config.keyPath);  // not even the key is looked at
  auto sender = makeSender();
  sender->send("Cursor", "Done.", true);
  time->runUntilIdle();
  EXPECT_THAT(http->requests, IsEmpty());
  EXPECT_THAT(logs, IsEmpty());
}

TEST_F(APNsSenderTest, UnusableKeyFileLogsOncePerAttemptAndSendsNothing) {
  const auto p384 = [] {
    std::shared_ptr<EVP_PKEY> key(EVP_EC_gen("P-384"), EVP_PKEY_free);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PKCS8PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return p256_detail::drain(bio);
  }();
  struct Case {
    const char* name;
    std::optional<std::string> content;  // absent: no file
  };
  const std::vector<Case> cases = {
      {"missing file", std::nullopt},
      {"not PEM", std::string("this is not a key\n")},
      {"public key only", keys.publicPem},
      {"P-384 key", p384},
      {"truncated PEM", keys.privatePem.substr(0, keys.privatePem.size() / 2)},
  };
  for (const auto& c : cases) {
    logs.clear();
    std::filesystem::remove(config.keyPath);
    if (c.content) writeFile(config.keyPath, *c.content);
    auto sender = makeSender();
    sender->setDeviceToken(kToken, true);
    logs.clear();
    sender->send("Cursor", "one", false);
    sender->send("Cursor", "two", false);
    time->runUntilIdle();
    EXPECT_THAT(http->requests, IsEmpty()) << c.name;
    EXPECT_THAT(logs, ElementsAre(kJwtFailed, kJwtFailed)) << c.name;
  }

  // Once a good key is in place the next send works, with no restart.
  writeFile(config.keyPath, keys.privatePem);
  auto sender = makeSender();
  sender->setDeviceToken(kToken, true);
  EXPECT_TRUE(signatureVerifies(keys.publicPem, decodeJwt(jwtOf(sendAndAnswer(*sender)))));
}

TEST_F(APNsSenderTest, OutcomesAreLoggedAndTheDeviceTokenIsKept) {
  auto sender = makeSender();
  sender->setDeviceToken(kToken, true);
  logs.clear();

  sender->send("Cursor", "1", false);
  http->respond(400, R"({"reason":"BadDeviceToken"})");
  sender->send("Cursor", "2", false);
  http->respond(403, "\xFF\xFE not text");
  sender->send("Cursor", "3", false);
  http->fail("Could not connect to server");
  sender->send("Cursor", "4", false);
  http->respond(200);
  time->runUntilIdle();

  EXPECT_THAT(logs, ElementsAre(R"(APNs: push status 400 {"reason":"BadDeviceToken"})", "APNs: push status 403 ",
                                "APNs: send error Could not connect to server", "APNs: ✅ push delivered"));
  EXPECT_EQ(http->requests.size(), 4u) << "no retries";
  EXPECT_EQ(settings->getString(APNsSender::kDeviceTokenKey), kToken);
}

TEST(Es256Test, RawSignaturesVerifyAcrossManySignings) {
  // About one signature in 128 has an r or s shorter than 32 bytes; enough
  // rounds make sure the left padding of those is exercised.
  const auto pair = makeP256KeyPair();
  const auto key = Es256PrivateKey::fromPem(pair.privatePem);
  ASSERT_TRUE(key);
  for (int i = 0; i < 1024; ++i) {
    const std::string message = "message " + std::to_string(i);
    const auto signature = key->sign(message);
    ASSERT_TRUE(signature);
    ASSERT_TRUE(es256Verify(pair.publicPem, message, *signature)) << i;
    ASSERT_FALSE(es256Verify(pair.publicPem, message + "!", *signature)) << i;
  }
}

TEST(Es256Test, LoadsPlainP256KeysOnlyAndNeverAsksForAPassword) {
  const auto pair = makeP256KeyPair();
  const auto pem = [&](auto write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    return p256_detail::drain(bio);
  };
  const auto sec1 = pem(
      [&](BIO* b) { PEM_write_bio_PrivateKey_traditional(b, pair.key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  const auto encrypted = pem([&](BIO* b) {
    PEM_write_bio_PKCS8PrivateKey(b, pair.key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr,
                                  const_cast<char*>("secret"));
  });
  ASSERT_NE(sec1.find("EC PRIVATE KEY"), std::string::npos);
  ASSERT_NE(encrypted.find("ENCRYPTED"), std::string::npos);

  EXPECT_TRUE(Es256PrivateKey::fromPem(pair.privatePem));
  EXPECT_TRUE(Es256PrivateKey::fromPem(sec1));
  EXPECT_FALSE(Es256PrivateKey::fromPem(encrypted));
  EXPECT_FALSE(Es256PrivateKey::fromPem(pair.publicPem));
  EXPECT_FALSE(Es256PrivateKey::fromPem(""));
  EXPECT_FALSE(es256Verify(pair.privatePem, "x", Es256Signature{})) << "a private key is not a public key";
}

TEST(APNsConfigTest, KeyFileLivesInTheDataFolderAndEnvironmentOverridesDefaults) {
  TempHome home;
  const auto data = home.path() / "xdg-data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  ::setenv("DESKWAVE_APNS_HOST_SANDBOX", "127.0.0.1:8443", 1);
  ::setenv("DESKWAVE_APNS_TOPIC", "com.example.other", 1);
  ::setenv("DESKWAVE_APNS_KEY_ID", "", 1);  // empty: the built-in value stays
  const auto config = apnsConfigFromEnvironment(Paths::fromEnvironment());
  const auto builtIn = [] {
    ::unsetenv("DESKWAVE_APNS_HOST_SANDBOX");
    ::unsetenv("DESKWAVE_APNS_TOPIC");
    ::unsetenv("DESKWAVE_APNS_KEY_ID");
    return apnsConfigFromEnvironment(Paths::fromEnvironment());
  }();

  EXPECT_EQ(config.keyPath, data / "Deskwave" / "AuthKey.p8");
  EXPECT_EQ(config.sandboxHost, "127.0.0.1:8443");
  EXPECT_EQ(config.topic, "com.example.other");
  EXPECT_EQ(config.keyID, builtIn.keyID);
  EXPECT_EQ(config.productionHost, builtIn.productionHost);
  EXPECT_NE(builtIn.sandboxHost, "127.0.0.1:8443");
  EXPECT_FALSE(builtIn.sandboxHost.empty());
  EXPECT_EQ(apnsConfigFromEnvironment(home.paths()).keyPath,
            home.path() / ".local" / "share" / "Deskwave" / "AuthKey.p8");
}

}  // namespace
}  // namespace deskwave::testing
