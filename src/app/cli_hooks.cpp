// `deskwave hook EVENT` (run by Claude Code) and `deskwave hooks install|uninstall|status`.

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "app/claude_hook.h"
#include "app/cli_commands.h"
#include "app/hook_settings_file.h"
#include "platform/curl_http_client.h"

namespace deskwave::cli {
namespace {

// The bridge's address: DESKWAVE_HOOK_URL when set (a bridge elsewhere, the
// tests), else the local link on this computer.
std::string hookURL() {
  const char* value = std::getenv("DESKWAVE_HOOK_URL");
  std::string url = value && *value ? value : kDefaultHookURL;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// This program's own file, for the commands Claude Code is to run.
std::string runningProgram() {
  const auto program = runningExecutable();
  if (program.empty()) fail(kFailed, "cannot tell where this program is installed");
  return program.string();
}

ClaudeSettings loadSettings() {
  const auto file = claudeSettingsFile(Paths::fromEnvironment().home);
  try {
    return loadClaudeSettings(file);
  } catch (const HookSettingsError& e) {
    fail(kBadInput, e.what());
  }
}

void save(const ClaudeSettings& settings, const OrderedJson& value) {
  try {
    saveClaudeSettings(settings, value);
  } catch (const HookSettingsError& e) {
    fail(kFailed, e.what());
  }
}

void sayWhereTheBackupIs(const ClaudeSettings& settings) {
  if (settings.text) say("The previous settings are kept in " + claudeSettingsBackup(settings.file).string());
}

}  // namespace

int hook(const std::string& event) {
  // Whatever happens, Claude Code gets status 0 and goes on as if there were no hook.
  try {
    const std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    AsioRuntime asio(1);
    HookLink link{makeCurlHttpClient(), asio.runtime().main, asio.runtime().clock, hookURL()};
    std::optional<HookOutcome> outcome;
    auto running = ClaudeHook::start(std::move(link), event, input, [&outcome](HookOutcome o) { outcome = std::move(o); });
    // Ended while waiting for the phone: take the request back from the phone first.
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) asio.onSignal(signal, [running] { running->cancel(); });
    auto& context = asio.mainContext();
    while (!outcome && !context.stopped()) context.run_one();
    if (outcome && !outcome->output.empty()) std::cout << outcome->output << std::flush;
    if (outcome && !outcome->message.empty()) std::cerr << outcome->message << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "deskwave hook: " << e.what() << std::endl;
  }
  return kDone;
}

int hooksInstall() {
  const auto program = runningProgram();
  auto settings = loadSettings();
  auto value = settings.value;
  bool changed = false;
  try {
    changed = installDeskwaveHooks(value, program);
  } catch (const HookSettingsError& e) {
    fail(kBadInput, settings.file.string() + ": " + e.what() + "; nothing was changed");
  }
  if (!changed) {
    say("Deskwave's Claude Code hooks are already installed in " + settings.file.string());
    return kDone;
  }
  save(settings, value);
  say("Installed Deskwave's Claude Code hooks in " + settings.file.string());
  sayWhereTheBackupIs(settings);
  say("Claude Code sessions started from now on report to Deskwave and ask the phone for permissions");
  return kDone;
}

int hooksUninstall() {
  auto settings = loadSettings();
  auto value = settings.value;
  if (!uninstallDeskwaveHooks(value)) {
    say("No Deskwave hooks in " + settings.file.string() + "; nothing was changed");
    return kDone;
  }
  save(settings, value);
  say("Removed Deskwave's Claude Code hooks from " + settings.file.string());
  sayWhereTheBackupIs(settings);
  return kDone;
}

int hooksStatus() {
  const auto settings = loadSettings();
  say("Claude Code settings: " + settings.file.string() + (settings.text ? "" : " (no such file)"));
  for (const auto& [event, command] : deskwaveHookCommands(settings.value)) {
    std::string name(hookEventName(event));
    name.resize(std::max<std::size_t>(name.size(), 18), ' ');
    say(name + (command ? "installed: " + *command : std::string("not installed")));
  }
  return kDone;
}

}  // namespace deskwave::cli
