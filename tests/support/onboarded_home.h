#pragma once

#include <chrono>
#include <string>

#include "platform/paths.h"

namespace deskwave::testing {

// The account a seeded desktop is signed in with; its id is the relay's pairing secret.
inline const std::string kAccountId = "5d0c3a71-2f4e-4b8a-9c61-7e3f0a9d2b44";

// Writes the settings of a desktop that has finished onboarding, signed in as
// kAccountId with the fixture chat window as its only tool, so that a real
// `deskwave` started in that home runs its bridge at once.
void seedOnboardedHome(const Paths& paths);

// A time as Claude Code stamps transcript entries: UTC, ISO 8601, milliseconds.
std::string claudeTimestamp(std::chrono::system_clock::time_point t);
// Now in that form, always later than the previous call's result (a mirror
// tells turns apart by their stamps, so two in one millisecond would be one).
std::string claudeTimestampNow();

}  // namespace deskwave::testing
