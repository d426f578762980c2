// `deskwave tools …`: the tool picker of the set-up window, from the terminal.
// The list comes from the same tool store (the relay's scan, the saved
// selection, the tools added and deleted by hand); the selection is saved as
// the onboarding state saves it.

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "app/cli_commands.h"
#include "app/onboarding_state.h"
#include "platform/curl_http_client.h"
#include "platform/linux/desktop_entries.h"
#include "platform/text.h"
#include "relay/websocket_relay_client.h"
#include "tools/ai_tool_store.h"
#include "tools/scan_url.h"

namespace deskwave::cli {
namespace {

// The "add an application" dialog, answered with the file named on the command line.
class GivenFilePicker final : public AppPicker {
 public:
  explicit GivenFilePicker(std::string path) : path_(std::move(path)) {}
  void pickApplication(const AppPickRequest&, Done done) override { done(path_); }

 private:
  std::string path_;
};

// The tool store over the program's settings, asking the configured relay.
struct Tools {
  explicit Tools(std::shared_ptr<AppPicker> picker = {}) {
    const auto relay = configuredRelayURL();
    const auto url = scanURLFromRelayURL(relay);
    std::shared_ptr<const AppScanner> scanner;
    if (url.empty()) {
      noRelay = "no relay to ask (\"" + relay + "\" is not a relay address)";
    } else {
      // The scanner's progress lines are not for this command's output.
      scanner = std::make_shared<AppScanner>(
          makeCurlHttpClient(), url, [] { return installedApplicationNames(); }, [](const std::string&) {});
    }
    AIToolStore::Options options;
    options.appName = [](const std::string& path) { return applicationNameForFile(path); };
    store = AIToolStore::create(loop.runtime(), settings, scanner, std::move(picker), options);
  }

  std::vector<std::string> savedSelection() const { return OnboardingState(settings).selectedTools.get(); }

  // Lists the tools as the picker shows them, ticking the saved selection.
  void load() {
    const auto previous = savedSelection();
    loop.runUntilDone([&](MainLoop::Done done) { store->load(previous, false, std::move(done)); });
  }

  // The listed spelling of `name`, ignoring letter case; empty when not listed.
  std::string listed(const std::string& name) const {
    for (const auto& tool : store->tools.get())
      if (equalIgnoringCase(tool, name)) return tool;
    return {};
  }

  bool scanSucceeded() const { return !store->lastScanError(); }
  std::string scanFailure() const { return "the tool scan failed: " + scanFailureReason(); }
  std::string scanFailureReason() const {
    if (noRelay) return *noRelay;
    const auto& error = store->lastScanError();
    if (!error) return "no answer from the relay";
    switch (error->kind) {
      case ScanError::Kind::apiFailure:
        return "relay /scan HTTP " + std::to_string(error->status);
      case ScanError::Kind::transport:
        return "relay /scan failed: " + error->text;
      case ScanError::Kind::invalidResponse:
        break;
    }
    return "relay /scan answer unreadable: " + error->text;
  }

  Paths paths = Paths::fromEnvironment();
  std::shared_ptr<SettingsStore> settings = openProgramSettings(paths);
  MainLoop loop;
  std::optional<std::string> noRelay;  // why there is no scanner at all
  std::shared_ptr<AIToolStore> store;
};

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

std::string requireName(const std::string& typed) {
  auto name = trimWhitespace(typed);
  if (name.empty()) fail(kBadInput, "a tool name cannot be empty");
  return name;
}

}  // namespace

int toolsList() {
  const auto settings = openProgramSettings(Paths::fromEnvironment());
  const OnboardingState onboarding(settings);
  for (const auto& tool : onboarding.selectedTools.get()) say(tool);
  return kDone;
}

int toolsScan() {
  Tools tools;
  tools.load();
  const auto listed = tools.store->tools.get();
  if (listed.empty())
    fail(kFailed, tools.scanSucceeded() ? "no AI tools found on this computer" : tools.scanFailure());
  const auto& ticked = tools.store->selected.get();
  for (const auto& tool : listed) say((ticked.count(tool) ? "[x] " : "[ ] ") + tool);
  if (!tools.scanSucceeded())
    std::cerr << "deskwave: " << tools.scanFailure() << "; listed: the chosen and hand-added tools" << std::endl;
  return kDone;
}

int toolsSelect(const std::vector<std::string>& typed) {
  std::vector<std::string> names;
  for (const auto& name : typed) names.push_back(requireName(name));

  Tools tools;
  tools.load();
  std::vector<std::string> chosen;
  if (tools.scanSucceeded()) {
    // Named as the list names them; a name the list does not hold is refused.
    std::vector<std::string> unknown;
    for (auto& name : names) {
      auto spelling = tools.listed(name);
      if (spelling.empty()) unknown.push_back(name);
      name = std::move(spelling);
    }
    if (!unknown.empty())
      fail(kBadInput, "not among the AI tools found: " + joined(unknown) +
                          " (see `deskwave tools scan`; add an application with `deskwave tools add PATH`)");
  } else {
    std::cerr << "deskwave: " << tools.scanFailure() << "; the names are taken as typed" << std::endl;
  }
  for (const auto& name : names) {
    const bool twice =
        std::any_of(chosen.begin(), chosen.end(), [&](const std::string& n) { return equalIgnoringCase(n, name); });
    if (!twice) chosen.push_back(name);
  }
  OnboardingState(tools.settings).complete(chosen);
  say("AI tools: " + joined(chosen));
  return kDone;
}

int toolsAdd(const std::string& typed) {
  if (typed.empty()) fail(kBadInput, "no application file given");
  std::error_code ec;
  const auto path = std::filesystem::absolute(typed, ec);
  if (ec || !std::filesystem::exists(path, ec)) fail(kBadInput, "no such file: " + typed);
  if (std::filesystem::is_directory(path, ec)) fail(kBadInput, typed + " is a folder, not an application file");
  const auto name = applicationNameForFile(path);
  if (name.empty()) fail(kBadInput, typed + " names no application");

  Tools tools(std::make_shared<GivenFilePicker>(path.string()));
  tools.loop.runUntilDone([&](MainLoop::Done done) {
    tools.store->addApp();
    // The picked file is taken in by a task posted to the main executor: done after it.
    tools.loop.runtime().main->post(std::move(done));
  });
  const auto manual = tools.settings->getStringList(AIToolStore::manualKey);
  if (std::none_of(manual.begin(), manual.end(), [&](const std::string& n) { return equalIgnoringCase(n, name); }))
    fail(kFailed, "could not add " + name);
  say("Added " + name + " (choose it with `deskwave tools select`)");
  return kDone;
}

int toolsRemove(const std::string& typed) {
  const auto name = requireName(typed);
  Tools tools;
  tools.load();
  const auto spelling = tools.listed(name);
  if (spelling.empty())
    fail(kFailed, "no tool named " + name + " in the list" +
                      (tools.scanSucceeded() ? std::string() : " (" + tools.scanFailure() + ")"));
  tools.loop.runUntilDone([&](MainLoop::Done done) {
    tools.store->deleteTool(spelling);
    done();
  });
  // A tool taken off the list is no longer one the phone can address.
  auto selection = tools.savedSelection();
  if (std::erase_if(selection, [&](const std::string& n) { return equalIgnoringCase(n, spelling); }) > 0)
    OnboardingState(tools.settings).complete(selection);
  say("Removed " + spelling);
  return kDone;
}

}  // namespace deskwave::cli
