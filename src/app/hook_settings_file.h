#pragma once

// Reading and rewriting Claude Code's user settings file for `deskwave hooks`.

#include <filesystem>
#include <optional>
#include <string>

#include "app/hook_settings.h"

namespace deskwave {

// ~/.claude/settings.json under `home`.
std::filesystem::path claudeSettingsFile(const std::filesystem::path& home);
// The copy of the file as it was before Deskwave last changed it:
// "settings.json.deskwave-backup" beside it.
std::filesystem::path claudeSettingsBackup(const std::filesystem::path& settingsFile);

struct ClaudeSettings {
  std::filesystem::path file;
  OrderedJson value = OrderedJson::object();
  std::optional<std::string> text;  // the file's bytes; nullopt when there is no file
};

// The settings in `file`: an empty object when the file does not exist or
// holds only blanks. HookSettingsError when it cannot be read or is not JSON.
ClaudeSettings loadClaudeSettings(const std::filesystem::path& file);

// Writes `value` as the new settings: first the backup of the old file (when
// there is one), then the new text to a temporary file beside it that is
// renamed over it, so that the file is either old or new, never half written.
// A symbolic link is followed: the file it names is replaced, the link stays.
// The folder is created when missing. HookSettingsError when something could
// not be written; the settings file is then unchanged.
void saveClaudeSettings(const ClaudeSettings& old, const OrderedJson& value);

}  // namespace deskwave
