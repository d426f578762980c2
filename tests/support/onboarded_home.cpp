#include "support/onboarded_home.h"

#include <time.h>

#include <cstdio>
#include <mutex>

#include "app/settings_keys.h"
#include "platform/sqlite_settings_store.h"

namespace deskwave::testing {

void seedOnboardedHome(const Paths& paths) {
  auto settings = SqliteSettingsStore::open(paths.settingsFile(), [](const std::string&) {});
  settings->setString(keys::authUsername, "u-" + kAccountId);
  settings->setString(keys::authSub, kAccountId);
  settings->setBool(keys::onboardingDone, true);
  settings->setStringList(keys::selectedTools, {"fixture"});
  settings->flush();
}

std::string claudeTimestamp(std::chrono::system_clock::time_point t) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(t);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(t - seconds).count();
  const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  ::gmtime_r(&whole, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
  return text;
}

std::string claudeTimestampNow() {
  static std::mutex mutex;
  static std::chrono::sys_time<std::chrono::milliseconds> last;
  std::lock_guard lock(mutex);
  auto now = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
  if (now <= last) now = last + std::chrono::milliseconds(1);
  last = now;
  return claudeTimestamp(now);
}

}  // namespace deskwave::testing
