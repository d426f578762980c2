// `deskwave login`, `signup` and `logout`: the account flows of the sign-in
// window, driven from the terminal.

#include <iostream>
#include <string_view>

#include "account/account_rules.h"
#include "account/auth_state.h"
#include "account/cognito_api.h"
#include "app/cli_commands.h"
#include "app/onboarding_state.h"
#include "app/settings_keys.h"
#include "capture/watcher_debug_log.h"
#include "platform/curl_http_client.h"
#include "platform/open_secret_store.h"
#include "platform/text.h"

namespace deskwave::cli {
namespace {

// The account state over the program's settings and secrets, as the bridge
// would build it, with the reset that a change of account brings.
struct Account {
  Paths paths = Paths::fromEnvironment();
  std::shared_ptr<SettingsStore> settings = openProgramSettings(paths);
  MainLoop loop;
  std::shared_ptr<WatcherDebugLog> log =
      WatcherDebugLog::create(paths.debugLogFile(), loop.runtime().main, loop.runtime().clock, [](std::string_view) {});
  std::shared_ptr<AuthState> auth = AuthState::create(
      loop.runtime().main, settings, openSecretStore([log = log](const std::string& line) { log->log(line); }),
      std::make_shared<CognitoAPI>(makeCurlHttpClient(), cognitoConfigFromEnvironment()));

  Account() {
    // The same local reset the running program makes when another account signs in.
    auth->onAccountChange = [settings = settings, log = log] {
      OnboardingState onboarding(settings);
      const bool hadTools = !onboarding.selectedTools.get().empty();
      onboarding.reset();
      settings->setBool(keys::keepAwake, false);
      settings->remove(keys::manualTools);
      settings->remove(keys::removedTools);
      settings->flush();
      log->log("\U0001F9F9 New account \u2192 wiped local onboarding / AI tools / keep-awake");
      if (hadTools) say("The AI tools chosen before were cleared for this account: choose them with `deskwave tools select`");
    };
  }

  // Runs one flow to its end; Failure with the account state's sentence when it failed.
  void run(const std::function<void(AuthState& auth, MainLoop::Done done)>& flow) {
    loop.runUntilDone([this, &flow](MainLoop::Done done) { flow(*auth, std::move(done)); });
    if (auto error = auth->error.get()) fail(kFailed, *error);
  }
};

std::string askEmail(Input& input, const std::optional<std::string>& given) {
  if (given) return *given;
  auto email = input.line("E-mail: ");
  if (!email) fail(kBadInput, "no e-mail address given");
  return *email;
}

// Why `password` cannot be chosen, or empty when it can.
std::string unmetRules(const std::string& password) {
  std::string unmet;
  for (const auto& rule : passwordRules(password))
    if (!rule.ok) unmet += (unmet.empty() ? "" : ", ") + rule.label;
  return unmet.empty() ? unmet : "the password needs: " + unmet;
}

// The new password, typed twice. On a terminal a refused one is asked for
// again; otherwise the refusal says how to come back to this step.
std::string askNewPassword(Input& input, const std::string& address) {
  const int attempts = input.interactive() ? 3 : 1;
  for (int attempt = 1;; ++attempt) {
    auto password = input.secret("Choose a password: ");
    if (!password) fail(kBadInput, "no password given");
    auto again = input.secret("Type it again: ");
    if (!again) fail(kBadInput, "the password was not typed a second time");
    std::string why = unmetRules(*password);
    if (why.empty() && *password != *again) why = "the two passwords differ";
    if (why.empty()) return *password;
    if (attempt == attempts) fail(kBadInput, why + " (`deskwave signup --email " + address + "` continues this sign-up)");
    std::cerr << "deskwave: " << why << std::endl;
  }
}

}  // namespace

int login(const std::optional<std::string>& email) {
  Account account;
  Input input;
  const auto address = askEmail(input, email);
  const auto password = input.secret("Password: ");
  if (!password) fail(kBadInput, "no password given");
  account.run([&](AuthState& auth, MainLoop::Done done) { auth.signIn(address, *password, std::move(done)); });
  say("Signed in as " + account.auth->username.get().value_or(""));
  return kDone;
}

int signup(const std::optional<std::string>& email) {
  Account account;
  Input input;
  const auto address = askEmail(input, email);
  account.run([&](AuthState& auth, MainLoop::Done done) { auth.startVerify(address, std::move(done)); });
  say("We emailed a code to " + account.auth->pendingEmail());

  auto code = input.line("Code: ");
  if (!code) fail(kBadInput, "no code given; `deskwave signup` with the same address mails a new one");
  const auto typed = trimWhitespace(*code);
  account.run([&](AuthState& auth, MainLoop::Done done) { auth.confirmEmail(typed, std::move(done)); });

  const auto password = askNewPassword(input, account.auth->pendingEmail());
  account.run([&](AuthState& auth, MainLoop::Done done) { auth.createAccount(password, std::move(done)); });
  say("Signed in as " + account.auth->username.get().value_or(""));
  return kDone;
}

int logout() {
  Account account;
  const auto user = account.auth->username.get();
  if (!user) {
    say("Not signed in");
    return kDone;
  }
  account.loop.runUntilDone([&](MainLoop::Done done) {
    account.auth->signOut();
    done();
  });
  say("Signed out " + *user);
  return kDone;
}

}  // namespace deskwave::cli
