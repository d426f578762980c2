#include "app/hook_settings.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "app/claude_hook.h"
#include "app/hook_settings_file.h"
#include "platform/file_info.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

constexpr const char* kProgram = "/usr/local/bin/deskwave";

// Settings as Claude Code users have them, before Deskwave's hooks.
const std::vector<std::pair<std::string, std::string>> kBefore = {
    {"empty", "{}"},
    {"other settings", R"j({"model":"opus","permissions":{"allow":["Bash(ls:*)"],"deny":[]},"env":{"A":"1"}})j"},
    {"other hooks",
     R"({"theme":"dark","hooks":{"PreToolUse":[{"matcher":"Bash","hooks":[{"type":"command","command":"/usr/local/bin/check.sh","timeout":5}]}],)"
     R"("Notification":[{"hooks":[{"type":"command","command":"notify-send hi"}]}],"SessionStart":[{"hooks":[]}],)"
     R"("Stop":[{"hooks":[{"type":"command","command":"/usr/bin/deskwave-relay hook Stop"}]}]},"z":null})"},
    {"a group of its own with a user's hook",
     R"({"hooks":{"PermissionRequest":[{"matcher":"*","hooks":[{"type":"command","command":"log.sh"}]}]}})"},
};

OrderedJson parsed(const std::string& text) { return OrderedJson::parse(text); }

const OrderedJson& groups(const OrderedJson& settings, HookEvent event) {
  return settings["hooks"][std::string(hookEventName(event))];
}

TEST(HookSettings, CommandsOfDeskwaveAreRecognisedAndNoOthers) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> table = {
      {"/usr/bin/deskwave hook Stop", "Stop"},
      {"deskwave hook UserPromptSubmit", "UserPromptSubmit"},
      {"  /opt/dw/deskwave   hook\tPreToolUse  ", "PreToolUse"},
      {"'/home/me/My Apps/deskwave' hook PermissionRequest", "PermissionRequest"},
      {"\"/home/me/My Apps/deskwave\" hook PostToolUse", "PostToolUse"},
      {"/home/me/My\\ Apps/deskwave hook Stop", "Stop"},
      {"/usr/bin/deskwave hook SomethingNew", "SomethingNew"},
      {"/usr/bin/deskwave-relay hook Stop", std::nullopt},
      {"/usr/bin/notdeskwave hook Stop", std::nullopt},
      {"/usr/bin/deskwave hooks install", std::nullopt},
      {"/usr/bin/deskwave hook", std::nullopt},
      {"/usr/bin/deskwave hook  ", std::nullopt},
      {"/usr/bin/deskwave status", std::nullopt},
      {"python3 /x/deskwave hook Stop", std::nullopt},
      {"echo deskwave hook Stop", std::nullopt},
      {"'/open/quote/deskwave hook Stop", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [command, event] : table) EXPECT_EQ(deskwaveHookEventOf(command), event) << command;
}

TEST(HookSettings, ProgramPathsAreQuotedSoThatTheShellGivesThemBack) {
  for (const std::string program :
       {"/usr/local/bin/deskwave", "/home/me/My Apps/deskwave", "/tmp/it's/deskwave", "/a/$HOME/`x`/\"q\"/deskwave"}) {
    SCOPED_TRACE(program);
    const auto command = deskwaveHookCommand(program, HookEvent::stop);
    EXPECT_EQ(deskwaveHookEventOf(command), "Stop");
    // What a shell really makes of the quoted word.
    FILE* shell = ::popen(("printf %s " + shellQuoted(program)).c_str(), "r");
    ASSERT_NE(shell, nullptr);
    std::string echoed;
    char buffer[256];
    while (auto n = std::fread(buffer, 1, sizeof buffer, shell)) echoed.append(buffer, n);
    EXPECT_EQ(::pclose(shell), 0);
    EXPECT_EQ(echoed, program);
  }
  EXPECT_EQ(deskwaveHookCommand(kProgram, HookEvent::preToolUse), "/usr/local/bin/deskwave hook PreToolUse");
}

TEST(HookSettings, InstallAddsOneEntryPerEventAndUninstallGivesTheSettingsBack) {
  for (const auto& [name, text] : kBefore) {
    SCOPED_TRACE(name);
    const auto before = parsed(text);
    auto settings = before;
    ASSERT_TRUE(installDeskwaveHooks(settings, kProgram));

    for (auto event : kHookEvents) {
      const auto commands = deskwaveHookCommands(settings);
      EXPECT_EQ(commands.at(event), deskwaveHookCommand(kProgram, event));
      EXPECT_EQ(groups(settings, event).back()["hooks"][0]["command"], deskwaveHookCommand(kProgram, event))
          << "Deskwave's group comes after the user's";
    }
    for (const auto& [key, value] : before.items()) {
      if (key == "hooks") continue;
      EXPECT_EQ(settings[key], value) << key;
    }

    auto again = settings;
    EXPECT_FALSE(installDeskwaveHooks(again, kProgram)) << "a second install changes nothing";
    EXPECT_EQ(again.dump(), settings.dump());

    ASSERT_TRUE(uninstallDeskwaveHooks(settings));
    EXPECT_EQ(settings.dump(), before.dump()) << "same content in the same order";
    EXPECT_FALSE(uninstallDeskwaveHooks(settings));
    EXPECT_EQ(settings.dump(), before.dump());
  }
}

TEST(HookSettings, EntriesHaveTheShapeClaudeCodeReads) {
  auto settings = OrderedJson::object();
  installDeskwaveHooks(settings, kProgram);
  EXPECT_EQ(settings.dump(),
            R"({"hooks":{)"
            R"("UserPromptSubmit":[{"hooks":[{"type":"command","command":"/usr/local/bin/deskwave hook UserPromptSubmit"}]}],)"
            R"("PreToolUse":[{"matcher":"*","hooks":[{"type":"command","command":"/usr/local/bin/deskwave hook PreToolUse"}]}],)"
            R"("PostToolUse":[{"matcher":"*","hooks":[{"type":"command","command":"/usr/local/bin/deskwave hook PostToolUse"}]}],)"
            R"("Stop":[{"hooks":[{"type":"command","command":"/usr/local/bin/deskwave hook Stop"}]}],)"
            R"("PermissionRequest":[{"matcher":"*","hooks":[{"type":"command","command":"/usr/local/bin/deskwave hook PermissionRequest","timeout":130}]}]}})");
  // Claude Code must let the permission hook file its request, wait for the
  // phone, and send its last poll and the withdrawal.
  EXPECT_GT(Seconds(kPermissionHookTimeout), ClaudeHook::kDecisionWait + 3 * ClaudeHook::kRequestTimeout);
}

TEST(HookSettings, AnEarlierDeskwaveEntryIsReplacedAndTheUsersHooksBesideItStay) {
  auto settings = parsed(
      R"({"hooks":{"PreToolUse":[{"matcher":"*","hooks":[{"type":"command","command":"/old/place/deskwave hook PreToolUse"},)"
      R"({"type":"command","command":"mine.sh"}]}],)"
      R"("PermissionRequest":[{"matcher":"*","hooks":[{"type":"command","command":"/usr/local/bin/deskwave hook PermissionRequest","timeout":60}]}]}})");
  ASSERT_TRUE(installDeskwaveHooks(settings, kProgram));
  const auto& pre = groups(settings, HookEvent::preToolUse);
  ASSERT_EQ(pre.size(), 2u);
  EXPECT_EQ(pre[0].dump(), R"({"matcher":"*","hooks":[{"type":"command","command":"mine.sh"}]})");
  EXPECT_EQ(pre[1]["hooks"][0]["command"], "/usr/local/bin/deskwave hook PreToolUse");
  const auto& permission = groups(settings, HookEvent::permissionRequest);
  ASSERT_EQ(permission.size(), 1u) << "the too short time-out is replaced, not doubled";
  EXPECT_EQ(permission[0]["hooks"][0]["timeout"], kPermissionHookTimeout);

  ASSERT_TRUE(uninstallDeskwaveHooks(settings));
  EXPECT_EQ(settings.dump(), R"({"hooks":{"PreToolUse":[{"matcher":"*","hooks":[{"type":"command","command":"mine.sh"}]}]}})");
}

TEST(HookSettings, UninstallRemovesDeskwaveEntriesUnderAnyEvent) {
  auto settings = parsed(
      R"({"hooks":{"SubagentStop":[{"hooks":[{"type":"command","command":"deskwave hook Stop"}]}],"Stop":[{"hooks":[]}]}})");
  ASSERT_TRUE(uninstallDeskwaveHooks(settings));
  EXPECT_EQ(settings.dump(), R"({"hooks":{"Stop":[{"hooks":[]}]}})") << "an empty group it did not empty stays";
}

TEST(HookSettings, SettingsOfAnotherShapeAreRefusedUntouched) {
  for (const std::string text : {"[]", "\"x\"", R"({"hooks":[]})", R"({"hooks":{"Stop":{}}})",
                                 R"({"hooks":{"PreToolUse":"deskwave hook PreToolUse"}})"}) {
    SCOPED_TRACE(text);
    auto settings = parsed(text);
    EXPECT_THROW(installDeskwaveHooks(settings, kProgram), HookSettingsError);
    EXPECT_EQ(settings.dump(), parsed(text).dump());
    EXPECT_FALSE(uninstallDeskwaveHooks(settings));
    for (const auto& [event, command] : deskwaveHookCommands(settings)) EXPECT_FALSE(command);
  }
}

// Claude Code's settings file on disk, in a temporary home.
class HookSettingsFileTest : public ::testing::Test {
 protected:
  void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  TempHome home;
  fs::path file = claudeSettingsFile(home.path());
};

TEST_F(HookSettingsFileTest, AMissingFileIsCreatedWithItsFolderAndNoBackup) {
  auto settings = loadClaudeSettings(file);
  EXPECT_FALSE(settings.text);
  EXPECT_EQ(settings.value, OrderedJson::object());
  auto value = settings.value;
  installDeskwaveHooks(value, kProgram);
  saveClaudeSettings(settings, value);
  EXPECT_EQ(OrderedJson::parse(*readWholeFile(file)), value);
  EXPECT_FALSE(fs::exists(claudeSettingsBackup(file)));
  EXPECT_THAT(std::vector<fs::path>(fs::directory_iterator(file.parent_path()), {}), ElementsAre(file))
      << "no temporary file is left";
}

TEST_F(HookSettingsFileTest, TheOldFileIsBackedUpAndItsPermissionsKept) {
  const std::string old = "{\n    \"model\": \"opus\"\n}\n";
  write(file, old);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  auto settings = loadClaudeSettings(file);
  auto value = settings.value;
  installDeskwaveHooks(value, kProgram);
  saveClaudeSettings(settings, value);
  EXPECT_EQ(readWholeFile(claudeSettingsBackup(file)), old);
  EXPECT_EQ(claudeSettingsBackup(file).filename(), "settings.json.deskwave-backup");
  EXPECT_EQ(loadClaudeSettings(file).value, value);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(HookSettingsFileTest, ALinkedSettingsFileIsWrittenThroughTheLink) {
  const auto real = home.path() / "dotfiles" / "claude.json";
  write(real, R"({"a":1})");
  fs::create_directories(file.parent_path());
  fs::create_symlink("../dotfiles/claude.json", file);
  auto settings = loadClaudeSettings(file);
  auto value = settings.value;
  installDeskwaveHooks(value, kProgram);
  saveClaudeSettings(settings, value);
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_EQ(OrderedJson::parse(*readWholeFile(real)), value);
}

TEST_F(HookSettingsFileTest, AFileThatIsNotJsonIsRefused) {
  for (const std::string text : {"{ \"model\": ", "{\"a\":1} trailing", "// comment\n{}"}) {
    write(file, text);
    try {
      loadClaudeSettings(file);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const HookSettingsError& e) {
      EXPECT_THAT(e.what(), HasSubstr("not valid JSON"));
    }
  }
  write(file, " \n");
  EXPECT_EQ(loadClaudeSettings(file).value, OrderedJson::object()) << "a blank file holds no settings";
}

}  // namespace
}  // namespace deskwave::testing
