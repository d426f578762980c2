// `deskwave pair` and `deskwave status`.

#include "account/auth_state.h"
#include "app/cli_commands.h"
#include "app/onboarding_state.h"
#include "app/settings_keys.h"
#include "local/local_address.h"
#include "local/local_server.h"
#include "platform/text.h"
#include "relay/websocket_relay_client.h"

namespace deskwave::cli {
namespace {

// Why `pin` cannot be a pairing PIN, or empty when it can. The relay room and
// key are derived from its bytes exactly as stored, so a blank typed around it
// by accident would silently pair with a different room than the phone's.
std::string pinProblem(const std::string& pin) {
  if (pin.empty()) return "the PIN cannot be empty";
  if (!isValidUtf8(pin)) return "the PIN is not valid UTF-8 text";
  if (trimWhitespace(pin) != pin) return "the PIN cannot start or end with a blank";
  for (unsigned char c : pin)
    if (c < 0x20 || c == 0x7f) return "the PIN cannot hold control characters";
  return {};
}

// How the bridge pairs with the relay: the account when one has been recorded
// (it wins over a PIN), else the PIN. Never the secret itself.
std::string pairingText(const SettingsStore& settings) {
  if (settings.contains(keys::relayAccount) || settings.contains(AuthState::subKey)) return "account";
  if (settings.contains(keys::relayPin)) return "PIN";
  return "none (sign in, or set a PIN with `deskwave pair --pin PIN`)";
}

}  // namespace

int pair(const std::string& pin) {
  if (auto problem = pinProblem(pin); !problem.empty()) fail(kBadInput, problem);
  const auto settings = openProgramSettings(Paths::fromEnvironment());
  settings->setString(keys::relayPin, pin);
  settings->flush();
  say("Pairing PIN saved");
  if (pairingText(*settings) == "account")
    say("This computer pairs through its account; the PIN is used only where no account was ever signed in");
  return kDone;
}

int status() {
  const auto settings = openProgramSettings(Paths::fromEnvironment());
  const OnboardingState onboarding(settings);
  std::string tools;
  for (const auto& tool : onboarding.selectedTools.get()) tools += (tools.empty() ? "" : ", ") + tool;

  say("Signed in:   " + settings->getString(AuthState::userKey).value_or("no"));
  if (auto pending = settings->getString(AuthState::pEmailKey))
    say("Sign-up:     waiting for the code mailed to " + *pending + " (`deskwave signup` resumes it)");
  say(std::string("Onboarding:  ") + (onboarding.done.get() ? "done" : "not done"));
  say("AI tools:    " + (tools.empty() ? std::string("none") : tools));
  say("Relay:       " + configuredRelayURL());
  say("Pairing:     " + pairingText(*settings));
  say("Local link:  " + chooseLocalAddress(listInterfaceAddresses()) + ":" + std::to_string(LocalServer::kPort));
  return kDone;
}

}  // namespace deskwave::cli
