#pragma once

#include <string>

#include "platform/clock.h"

namespace deskwave {

// Seconds between 1970-01-01 and 2001-01-01 00:00:00 UTC, the reference date of
// history time stamps that stored histories and the phone rely on.
inline constexpr double kReferenceDateOffset = 978307200.0;

double secondsSince1970(WallTime t);
double secondsSinceReferenceDate(WallTime t);
WallTime fromSecondsSinceReferenceDate(double seconds);

// Local time of day as "HH:mm:ss".
std::string localTimeOfDay(WallTime t);

}  // namespace deskwave
