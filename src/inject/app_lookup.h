#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/desktop.h"

namespace deskwave {

// Cursor's macOS bundle identifier.
inline constexpr std::string_view kCursorBundleId = "com.todesktop.230313mzl4w4u92";

// The first running application that is Cursor, in the system's order, helpers
// included: its bundle identifier, or its name, desktop-entry id or executable
// name being "cursor" in any letter case.
std::optional<RunningApplication> findCursor(const std::vector<RunningApplication>& apps);

// The regular application best matching a name the user gave ("claude",
// "Codex"): in four passes, the first hit wins — name equal, bundle or
// executable name equal, bundle id containing it, name containing it. Letter
// case and surrounding white space are ignored; an empty name matches nothing.
std::optional<RunningApplication> runningApp(const std::vector<RunningApplication>& apps, std::string_view name);

}  // namespace deskwave
