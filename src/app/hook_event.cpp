#include "app/hook_event.h"

namespace deskwave {

std::string_view hookEventName(HookEvent event) {
  switch (event) {
    case HookEvent::userPromptSubmit:
      return "UserPromptSubmit";
    case HookEvent::preToolUse:
      return "PreToolUse";
    case HookEvent::postToolUse:
      return "PostToolUse";
    case HookEvent::stop:
      return "Stop";
    case HookEvent::permissionRequest:
      return "PermissionRequest";
  }
  return "";
}

std::optional<HookEvent> hookEventNamed(std::string_view name) {
  for (auto event : kHookEvents)
    if (hookEventName(event) == name) return event;
  return std::nullopt;
}

bool isToolEvent(HookEvent event) {
  return event == HookEvent::preToolUse || event == HookEvent::postToolUse || event == HookEvent::permissionRequest;
}

}  // namespace deskwave
