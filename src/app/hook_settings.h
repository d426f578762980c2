#pragma once

// Deskwave's entries in Claude Code's settings ("hooks" in
// ~/.claude/settings.json): one command hook per event, running
// "<this program> hook <Event>". Adding them keeps every other setting and hook
// in place and in order; removing them takes away exactly these entries and the
// containers that thereby became empty, so that installing and then removing
// gives back the settings as they were.

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/hook_event.h"

namespace deskwave {

using OrderedJson = nlohmann::ordered_json;

// Settings whose shape leaves no safe place for Deskwave's entries.
struct HookSettingsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Claude Code's limit for the permission hook, in seconds: more than the
// hook's own wait for the phone (ClaudeHook::kDecisionWait) plus its last
// requests, so that Claude Code never cuts the wait short.
inline constexpr int kPermissionHookTimeout = 130;

// `program` as one shell word: as it is when it holds only safe characters,
// else in single quotes.
std::string shellQuoted(std::string_view program);
// The command Claude Code runs for `event`.
std::string deskwaveHookCommand(std::string_view program, HookEvent event);
// The event word of a command that runs a program named "deskwave" with
// "hook EVENT" (the program may be quoted); nullopt for any other command.
std::optional<std::string> deskwaveHookEventOf(std::string_view command);

// Adds Deskwave's entry for each event, replacing earlier ones of Deskwave's
// (another program path, a changed time-out); an entry already as wanted is
// left alone. Returns whether anything changed. HookSettingsError when the
// settings, their "hooks" or an event's list have a type Claude Code would not
// accept; nothing is changed then.
bool installDeskwaveHooks(OrderedJson& settings, std::string_view program);

// Removes every Deskwave entry, under any event, and each group, event list and
// "hooks" object that became empty by it. Returns whether anything changed.
bool uninstallDeskwaveHooks(OrderedJson& settings);

// For each of Deskwave's events, the command of its Deskwave entry when there is one.
std::map<HookEvent, std::optional<std::string>> deskwaveHookCommands(const OrderedJson& settings);

}  // namespace deskwave
