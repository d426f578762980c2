#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace deskwave {

// The Claude Code hook events that Deskwave listens to.
enum class HookEvent { userPromptSubmit, preToolUse, postToolUse, stop, permissionRequest };

inline constexpr std::array<HookEvent, 5> kHookEvents = {HookEvent::userPromptSubmit, HookEvent::preToolUse,
                                                         HookEvent::postToolUse, HookEvent::stop,
                                                         HookEvent::permissionRequest};

// The event's name as Claude Code writes it ("PreToolUse", …).
std::string_view hookEventName(HookEvent event);
// The event of that exact name (letter case counts, as in Claude Code's settings).
std::optional<HookEvent> hookEventNamed(std::string_view name);
// True for the events that concern one tool call and take a tool matcher.
bool isToolEvent(HookEvent event);

}  // namespace deskwave
