#include <gmock/gmock.h>

#include "inject/app_lookup.h"

namespace deskwave::testing {
namespace {

const std::vector<RunningApplication> kDesk = {
    {"Claude Helper", "com.anthropic.claude.helper", "/Applications/Claude.app/Helper", 10, false},
    {"Codex Helper Tool", "dev.codex.helper", "/usr/lib/codex/helper", 11, true},
    {"Codex", "", "/usr/bin/codex", 12, true},
    {"Claude", "com.anthropic.claudefordesktop", "/Applications/Claude.app/", 13, true},
    {"Visual Studio Code", "com.microsoft.VSCode", "/Applications/Code.app", 14, true},
    {"Ghostty", "", "", 15, true},
};

TEST(RunningAppTest, FourPassesFirstHitWins) {
  const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
      {"claude", 13},           // name equal; the helper is not a regular application
      {"  CLAUDE\n", 13},       // case and surrounding white space ignored
      {"codex", 12},            // an equal name beats an earlier name containing it
      {"code", 14},             // bundle name "Code.app"
      {"vscode", 14},           // bundle identifier contains it
      {"studio", 14},           // name contains it
      {"host", 15},             // name contains it; no bundle at all
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"zed", std::nullopt},
  };
  for (const auto& [name, pid] : cases) {
    const auto app = runningApp(kDesk, name);
    EXPECT_EQ(app ? std::optional(app->pid) : std::nullopt, pid) << "'" << name << "'";
  }
}

TEST(FindCursorTest, MatchesByBundleIdNameEntryOrExecutableAndTakesHelpersToo) {
  const std::vector<std::pair<RunningApplication, bool>> cases = {
      {{"Editor", "com.todesktop.230313mzl4w4u92", "", 1, false}, true},
      {{"CURSOR", "", "", 1, true}, true},
      {{"Code editor", "Cursor.desktop", "", 1, true}, true},
      {{"AppRun", "", "/tmp/.mount_x/Cursor.AppImage", 1, true}, true},
      {{"cursor-helper", "cursor-helper.desktop", "/opt/cursor/cursor-helper", 1, true}, false},
      {{"Cursors", "", "", 1, true}, false},
  };
  for (const auto& [app, isCursor] : cases)
    EXPECT_EQ(findCursor({app}).has_value(), isCursor) << app.name << " " << app.bundleId << " " << app.bundlePath;

  const auto first = findCursor({{"Terminal", "", "", 1, true}, {"cursor", "", "", 2, true}, {"Cursor", "", "", 3, true}});
  ASSERT_TRUE(first);
  EXPECT_EQ(first->pid, 2) << "the first in the system's order";
}

}  // namespace
}  // namespace deskwave::testing
