#include "inject/app_lookup.h"

#include <filesystem>
#include <functional>

#include "platform/text.h"

namespace deskwave {
namespace {

// "/Applications/Cursor.app" → "cursor"; "/opt/cursor/Cursor.AppImage" → "cursor".
std::string bundleName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return lowercased(std::filesystem::path(path).stem().string());
}

// A desktop-entry id with or without its ".desktop" ending.
std::string desktopEntryName(const std::string& id) {
  auto lower = lowercased(id);
  constexpr std::string_view suffix = ".desktop";
  if (lower.size() > suffix.size() && lower.ends_with(suffix)) lower.resize(lower.size() - suffix.size());
  return lower;
}

}  // namespace

std::optional<RunningApplication> findCursor(const std::vector<RunningApplication>& apps) {
  for (const auto& app : apps) {
    if (app.bundleId == kCursorBundleId || lowercased(app.name) == "cursor" ||
        desktopEntryName(app.bundleId) == "cursor" || (!app.bundlePath.empty() && bundleName(app.bundlePath) == "cursor"))
      return app;
  }
  return std::nullopt;
}

std::optional<RunningApplication> runningApp(const std::vector<RunningApplication>& apps, std::string_view name) {
  const auto q = lowercased(trimWhitespace(name));
  if (q.empty()) return std::nullopt;
  const std::function<bool(const RunningApplication&)> passes[] = {
      [&](const RunningApplication& a) { return lowercased(a.name) == q; },
      [&](const RunningApplication& a) { return !a.bundlePath.empty() && bundleName(a.bundlePath) == q; },
      [&](const RunningApplication& a) { return lowercased(a.bundleId).find(q) != std::string::npos; },
      [&](const RunningApplication& a) { return lowercased(a.name).find(q) != std::string::npos; },
  };
  for (const auto& pass : passes)
    for (const auto& app : apps)
      if (app.regular && pass(app)) return app;
  return std::nullopt;
}

}  // namespace deskwave
