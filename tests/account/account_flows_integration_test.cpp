// The account flows end to end: the account state and its client, through the
// real HTTP client, against a deskwave-accounts process on loopback. The codes
// that would be mailed are read from the service's log.

#include <gmock/gmock.h>

#include <future>
#include <regex>

#include "account/account_rules.h"
#include "account/auth_state.h"
#include "account/cognito_api.h"
#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"
#include "platform/memory_settings_store.h"
#include "support/child_process.h"
#include "support/memory_secret_store.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

const std::string kClientId = "deskwavee2eclient00000000";

class AccountFlowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(service.port(), 0) << "deskwave-accounts did not start";
    api = std::make_shared<CognitoAPI>(
        makeCurlHttpClient(), CognitoConfig{"http://127.0.0.1:" + std::to_string(service.port()) + "/", kClientId});
    loop = std::thread([this] { asio.runMainLoop(); });
    auth = newAuthState();
  }

  void TearDown() override {
    onMain([this] { auth.reset(); });
    asio.stop();
    loop.join();
  }

  // A fresh account state over the same settings and secrets: the program restarted.
  std::shared_ptr<AuthState> newAuthState() {
    return onMain([this] {
      auto state = AuthState::create(asio.runtime().main, settings, secrets, api);
      state->onAccountChange = [this] { ++accountChanges; };
      return state;
    });
  }

  template <class F>
  std::invoke_result_t<F> onMain(F work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    asio.runtime().main->post([&task] { task(); });
    return result.get();
  }

  // Runs one flow on the main thread and waits until it has finished.
  template <class Flow>
  void run(Flow flow) {
    std::promise<void> finished;
    onMain([&] { flow(*auth, [&finished] { finished.set_value(); }); });
    ASSERT_EQ(finished.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  }

  template <class T>
  T read(const Observable<T>& field) {
    return onMain([&] { return field.get(); });
  }

  // The next code the service "mailed" to `email` (sign-up or reset).
  std::string codeFor(const std::string& email, bool reset = false) {
    const std::regex line(std::string(reset ? "reset code" : "code") + " for u-[0-9a-f-]+ \\(" +
                          std::regex_replace(email, std::regex("[.+]"), "\\$&") + "\\): ([0-9]{6})");
    while (auto next = service.nextLine()) {
      std::smatch m;
      if (std::regex_search(*next, m, line)) return m[1];
    }
    ADD_FAILURE() << "no code for " << email << " in the service's log";
    return {};
  }

  TempHome home;
  ListeningProcess service{
      {DESKWAVE_ACCOUNTS_BINARY, "--listen", "127.0.0.1:0", "--data", (home.path() / "accounts").string(), "--client-id", kClientId}};
  AsioRuntime asio{1};
  std::thread loop;
  std::shared_ptr<CognitoAPI> api;
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
  std::shared_ptr<AuthState> auth;
  int accountChanges = 0;
};

TEST_F(AccountFlowsTest, SignUpSignInAndResetAgainstTheAccountService) {
  const std::string email = "zoe.smith@example.com";
  run([](AuthState& a, auto done) { a.startVerify("  Zoe.Smith+deskwave@Example.com ", done); });
  ASSERT_EQ(read(auth->error), std::nullopt);
  ASSERT_TRUE(read(auth->awaitingCode));

  run([&](AuthState& a, auto done) { a.confirmEmail(codeFor(email), done); });
  ASSERT_EQ(read(auth->error), std::nullopt);
  ASSERT_TRUE(read(auth->emailVerified));

  run([](AuthState& a, auto done) { a.createAccount("Correct-Horse-7", done); });
  ASSERT_EQ(read(auth->error), std::nullopt);
  EXPECT_EQ(read(auth->username), email);
  EXPECT_EQ(accountChanges, 1) << "the first account on this computer";
  const auto idToken = secrets->get(AuthState::idTokenKey);
  ASSERT_TRUE(idToken);
  const auto sub = settings->getString(AuthState::subKey);
  ASSERT_TRUE(sub);
  EXPECT_EQ(jwtSub(*idToken), sub) << "the pairing secret is the service's own sub";
  EXPECT_TRUE(secrets->get(AuthState::refreshKey));
  EXPECT_EQ(settings->getString(AuthState::pUserKey), std::nullopt) << "the finished sign-up is forgotten";

  onMain([this] { auth->signOut(); });
  EXPECT_EQ(read(auth->username), std::nullopt);
  EXPECT_EQ(settings->getString(AuthState::subKey), sub) << "signing out keeps the pairing";
  run([](AuthState& a, auto done) { a.signIn("ZOE.SMITH@example.com", "Correct-Horse-7", done); });
  EXPECT_EQ(read(auth->username), email);
  EXPECT_EQ(accountChanges, 1) << "the same account in other letter case";

  run([](AuthState& a, auto done) { a.startReset("zoe.smith@example.com", done); });
  ASSERT_TRUE(read(auth->awaitingResetCode)) << read(auth->error).value_or("");
  run([](AuthState& a, auto done) { a.confirmReset("000000", "Battery-Staple-8", done); });
  EXPECT_EQ(read(auth->error), "That code isn't right — check your email.");
  run([&](AuthState& a, auto done) { a.confirmReset(codeFor(email, true), "Battery-Staple-8", done); });
  EXPECT_EQ(read(auth->error), std::nullopt);
  run([](AuthState& a, auto done) { a.signIn(" zoe.smith@example.com", "Correct-Horse-7", done); });
  EXPECT_EQ(read(auth->error), "Wrong username or password.") << "the old password is gone";
  EXPECT_EQ(settings->getString(AuthState::subKey), sub);
}

TEST_F(AccountFlowsTest, ASignUpInterruptedAfterItsCodeIsResumedAfterARestart) {
  const std::string email = "ada@example.org";
  run([](AuthState& a, auto done) { a.startVerify("ada@example.org", done); });
  run([&](AuthState& a, auto done) { a.confirmEmail(codeFor(email), done); });
  ASSERT_TRUE(read(auth->emailVerified)) << read(auth->error).value_or("");

  // The program quits before a password was chosen, and starts again.
  onMain([this] { auth.reset(); });
  auth = newAuthState();
  run([](AuthState& a, auto done) { a.startVerify("Ada@Example.org", done); });
  ASSERT_EQ(read(auth->error), std::nullopt) << "the service knows the address: the stored sign-up is resumed";
  ASSERT_TRUE(read(auth->awaitingCode));

  // The address is confirmed already: the service refuses the code, which moves on.
  run([&](AuthState& a, auto done) { a.confirmEmail(codeFor(email), done); });
  ASSERT_TRUE(read(auth->emailVerified)) << read(auth->error).value_or("");
  run([](AuthState& a, auto done) { a.createAccount("Lovelace-1815!", done); });
  EXPECT_EQ(read(auth->error), std::nullopt);
  EXPECT_EQ(read(auth->username), email);

  // Without a stored sign-up the same address is simply taken.
  onMain([this] { auth->signOut(); });
  run([](AuthState& a, auto done) { a.startVerify("ada@example.org", done); });
  EXPECT_EQ(read(auth->error), "That email already has an account — sign in instead.");
  EXPECT_FALSE(read(auth->awaitingCode));
}

}  // namespace
}  // namespace deskwave::testing
