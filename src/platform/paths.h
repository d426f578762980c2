#pragma once

#include <filesystem>
#include <string>

namespace deskwave {

// The folders the program reads and writes. Built from the environment in the
// product; tests build them around a temporary folder.
struct Paths {
  std::filesystem::path home;
  std::filesystem::path configDir;  // $XDG_CONFIG_HOME/deskwave, else ~/.config/deskwave
  std::filesystem::path dataDir;    // $XDG_DATA_HOME/deskwave, else ~/.local/share/deskwave

  static Paths fromEnvironment();
  // All folders under `home`, as the environment would give them with no XDG variables.
  static Paths underHome(const std::filesystem::path& home);

  std::filesystem::path settingsFile() const { return configDir / "settings.sqlite3"; }
  std::filesystem::path debugLogFile() const { return home / "deskwave-debug.log"; }
  std::filesystem::path attachmentsDir() const { return home / "Deskwave" / "attachments"; }
  // The user's data folder that `dataDir` lives in: $XDG_DATA_HOME, else ~/.local/share.
  std::filesystem::path dataHome() const { return dataDir.parent_path(); }
};

// The running program's own file (for commands that other programs are to run);
// empty when the system does not tell.
std::filesystem::path runningExecutable();

}  // namespace deskwave
