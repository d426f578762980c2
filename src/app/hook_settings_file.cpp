#include "app/hook_settings_file.h"

#include <fstream>

#include "platform/file_info.h"
#include "platform/text.h"

namespace deskwave {
namespace {

namespace fs = std::filesystem;

// Writes `bytes` to `file`, replacing it; false when not all of it was written.
bool writeFile(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

// The file that is really written: the end of a chain of symbolic links.
fs::path resolved(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_symlink(file, ec)) return file;
  auto target = fs::weakly_canonical(file, ec);
  return ec ? file : target;
}

}  // namespace

fs::path claudeSettingsFile(const fs::path& home) { return home / ".claude" / "settings.json"; }

fs::path claudeSettingsBackup(const fs::path& settingsFile) {
  return settingsFile.parent_path() / (settingsFile.filename().string() + ".deskwave-backup");
}

ClaudeSettings loadClaudeSettings(const fs::path& file) {
  ClaudeSettings settings;
  settings.file = file;
  std::error_code ec;
  const auto status = fs::status(file, ec);
  if (status.type() == fs::file_type::not_found) return settings;
  if (ec) throw HookSettingsError("cannot read " + file.string() + ": " + ec.message());
  if (status.type() != fs::file_type::regular) throw HookSettingsError(file.string() + " is not a regular file");
  settings.text = readWholeFile(file);
  if (!settings.text) throw HookSettingsError("cannot read " + file.string());
  if (trimWhitespace(*settings.text).empty()) return settings;
  settings.value = OrderedJson::parse(*settings.text, nullptr, false);
  if (settings.value.is_discarded())
    throw HookSettingsError(file.string() + " is not valid JSON; fix it first (it was left as it is)");
  return settings;
}

void saveClaudeSettings(const ClaudeSettings& old, const OrderedJson& value) {
  const auto file = resolved(old.file);
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (ec) throw HookSettingsError("cannot create " + file.parent_path().string() + ": " + ec.message());
  if (old.text && !writeFile(claudeSettingsBackup(old.file), *old.text))
    throw HookSettingsError("cannot write the backup " + claudeSettingsBackup(old.file).string() +
                            "; the settings were left as they are");

  const auto temp = file.parent_path() / (file.filename().string() + ".deskwave-new");
  const auto text = value.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
  if (!writeFile(temp, text)) {
    fs::remove(temp, ec);
    throw HookSettingsError("cannot write " + temp.string() + "; the settings were left as they are");
  }
  // The new file keeps the old one's permissions.
  if (old.text) {
    const auto perms = fs::status(file, ec).permissions();
    if (!ec) fs::permissions(temp, perms, ec);
  }
  fs::rename(temp, file, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw HookSettingsError("cannot replace " + file.string() + ": " + ec.message());
  }
}

}  // namespace deskwave
