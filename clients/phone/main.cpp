// deskwave-phone: reaches a Deskwave desktop from a terminal, over its local
// link or through the relay, as the phone app does.

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <iostream>

#include "phone_commands.h"
#include "phone_error.h"
#include "platform/asio_runtime.h"
#include "platform/curl_http_client.h"
#include "platform/service_browser.h"

using namespace deskwave;
using namespace deskwave::phone;

namespace {

std::atomic<bool> interrupted{false};

constexpr const char* kServiceType = "_deskwave._tcp";
constexpr Seconds kDiscoveryTimeout{1.5};
constexpr Seconds kJoinTimeout{10};

struct Choices {
  std::optional<std::string> local;
  std::optional<std::string> relay;
  std::optional<std::string> secret;
  bool json = false;
  std::string target;
  std::string text;
  std::vector<std::string> images;
  std::optional<int> count;
  std::optional<double> timeout;
  std::string id;
  std::string decision;
  std::string token;
  bool production = false;
};

LocalAddress chooseLocalAddress(const Choices& c) {
  if (c.local) {
    auto address = parseLocalAddress(*c.local);
    if (!address) throw PhoneError("--local wants HOST[:PORT], not \"" + *c.local + "\"", kBadInput);
    return *address;
  }
  if (auto found = findService(kServiceType, kDiscoveryTimeout)) {
    std::cerr << "deskwave-phone: found " << found->name << " at " << found->host << ":" << found->port << std::endl;
    return {found->host, found->port};
  }
  return {"127.0.0.1", 8765};
}

std::unique_ptr<PhoneLink> openLink(const Choices& c, AsioRuntime& asio) {
  if (c.relay) {
    if (c.local) throw PhoneError("choose either --local or --relay", kBadInput);
    if (!c.secret) throw PhoneError("--relay needs --secret (the account id, or the pairing PIN)", kBadInput);
    auto relay = std::make_unique<RelayLink>(makeBeastWebSocketClient(asio.pool()), *c.relay, *c.secret);
    const int members = relay->connect(kJoinTimeout);
    if (members < 2) std::cerr << "deskwave-phone: no desktop is in the room yet" << std::endl;
    return makeRelayPhoneLink(std::move(relay));
  }
  if (c.secret) throw PhoneError("--secret goes with --relay", kBadInput);
  return makeLocalPhoneLink(LocalLink(makeCurlHttpClient(), asio.runtime().background, chooseLocalAddress(c)));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reach a Deskwave desktop from a terminal: send prompts, collect replies, answer permission requests.",
               "deskwave-phone"};
  Choices c;
  app.add_option("--local", c.local,
                 "The desktop's local link, HOST[:PORT] (default: found by DNS-SD, else 127.0.0.1:8765)");
  app.add_option("--relay", c.relay, "Go through the relay at this ws:// or wss:// URL instead");
  app.add_option("--secret", c.secret, "With --relay: the account id the desktop is signed in with, or its PIN");
  app.add_flag("--json", c.json, "Print results as JSON (one document per line) for scripts");
  app.require_subcommand(1);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "deskwave-phone: " + std::string(e.what()) + " (see --help)\n";
  });

  std::function<int(PhoneLink&, Output)> chosen;
  const auto choose = [&chosen](CLI::App* command, std::function<int(PhoneLink&, Output)> run) {
    command->callback([&chosen, run = std::move(run)] { chosen = run; });
  };

  auto* send = app.add_subcommand("send", "Send a prompt to an AI tool on the desktop");
  send->add_option("--target", c.target, "The tool, e.g. Cursor, Claude, Codex")->required();
  send->add_option("--image", c.images, "Attach image files (local link only)")->check(CLI::ExistingFile);
  send->add_option("text", c.text, "The prompt")->required();
  choose(send, [&c](PhoneLink& link, Output out) { return sendCommand(link, out, c.target, c.text, c.images); });

  auto* watch = app.add_subcommand("watch", "Print replies as they arrive and acknowledge them (Ctrl-C ends)");
  watch->add_option("--count", c.count, "End after this many replies")->check(CLI::PositiveNumber);
  watch->add_option("--timeout", c.timeout, "End after this many seconds (fails when --count was not reached)")
      ->check(CLI::PositiveNumber);
  choose(watch, [&c](PhoneLink& link, Output out) {
    return watchCommand(link, out, WatchLimits{c.count, c.timeout, &interrupted});
  });

  choose(app.add_subcommand("status", "Show the running turns: activity and the reply written so far"),
         [](PhoneLink& link, Output out) { return statusCommand(link, out); });
  choose(app.add_subcommand("perms", "List open permission requests and questions"),
         [](PhoneLink& link, Output out) { return permsCommand(link, out); });
  auto* answer = app.add_subcommand("answer", "Answer a permission request or question");
  answer->add_option("id", c.id, "The request's id, as `perms` lists it")->required();
  answer->add_option("decision", c.decision, "allow, deny, or the chosen option")->required();
  choose(answer, [&c](PhoneLink& link, Output out) { return answerCommand(link, out, c.id, c.decision); });
  auto* push = app.add_subcommand("register-push", "Register a device token for push notifications");
  push->add_option("token", c.token, "The APNs device token")->required();
  push->add_flag("--production", c.production, "The token is for APNs production (default: sandbox)");
  choose(push, [&c](PhoneLink& link, Output out) { return registerPushCommand(link, out, c.token, c.production); });
  choose(app.add_subcommand("tabs", "List the AI tools the desktop offers"),
         [](PhoneLink& link, Output out) { return tabsCommand(link, out); });

  CLI11_PARSE(app, argc, argv);

  std::signal(SIGINT, [](int) { interrupted = true; });
  std::signal(SIGTERM, [](int) { interrupted = true; });
  try {
    AsioRuntime asio(1);
    auto link = openLink(c, asio);
    return chosen(*link, Output{std::cout, c.json});
  } catch (const PhoneError& e) {
    std::cerr << "deskwave-phone: " << e.what() << std::endl;
    return e.status;
  } catch (const std::exception& e) {
    std::cerr << "deskwave-phone: " << e.what() << std::endl;
    return kFailed;
  }
}
