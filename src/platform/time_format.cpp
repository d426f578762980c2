#include "platform/time_format.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace deskwave {

double secondsSince1970(WallTime t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

double secondsSinceReferenceDate(WallTime t) { return secondsSince1970(t) - kReferenceDateOffset; }

WallTime fromSecondsSinceReferenceDate(double seconds) {
  if (!std::isfinite(seconds)) seconds = 0;
  return WallTime{} + std::chrono::duration_cast<WallTime::duration>(
                          std::chrono::duration<double>(seconds + kReferenceDateOffset));
}

std::string localTimeOfDay(WallTime t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&seconds, &local);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return buffer;
}

}  // namespace deskwave
