#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The installed applications as freedesktop desktop entries (*.desktop files):
// what the user calls an application, how it is started and which windows are
// its own. Parsing works on text and is pure; the directory walk is separate.
namespace deskwave {

struct DesktopEntry {
  std::string id;              // the desktop-file id: "cursor.desktop", "kde4-kate.desktop"
  std::filesystem::path file;  // where it was read from
  std::string name;            // the unlocalised Name of [Desktop Entry]
  std::string program;         // the program Exec starts: "/usr/share/cursor/cursor", "code"
  std::string programName;     // its last path component: "cursor", "code"
  std::string startupWMClass;  // the WM_CLASS its windows carry; may be empty
  bool noDisplay = false;      // installed but not shown in menus (helpers, URL handlers)
  bool hidden = false;         // deleted by the user; still hides same-id entries of later directories
};

// Parses one desktop file's text. Absent unless it has a [Desktop Entry] group
// with Type=Application and a Name. Comments, other groups, localised keys
// (Name[de]=) and unknown keys are ignored; the escapes \s \n \t \r \\ are
// decoded in values.
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string id = {},
                                              std::filesystem::path file = {});

// The program an Exec value starts: its first word with quoting and field codes
// (%U, %f …) resolved, skipping an "env NAME=value" prefix; empty when none.
// `exec` is the value with the general escapes already decoded.
std::string execProgram(std::string_view exec);

// The directories holding desktop files, most important first: the data home's
// "applications" (XDG_DATA_HOME, else HOME/.local/share), then each data
// directory's (XDG_DATA_DIRS, else /usr/local/share:/usr/share). Arguments are
// the variables' values, null when unset; relative paths are ignored.
std::vector<std::filesystem::path> applicationDirectories(const char* dataHome, const char* dataDirs, const char* home);
// The same from this process's environment.
std::vector<std::filesystem::path> applicationDirectories();

// Every application entry under `directories` (searched recursively; an id is
// the path below the directory with '/' turned into '-'). For one id the file
// of the earliest directory wins, whatever it holds. Unreadable files and
// directories are skipped; never throws.
std::vector<DesktopEntry> loadDesktopEntries(const std::vector<std::filesystem::path>& directories);
// The same for applicationDirectories().
std::vector<DesktopEntry> loadDesktopEntries();

// The names of the installed applications, as the AI tool catalogue offers
// them: the Name of every application entry under `directories` that is shown
// in menus (NoDisplay and Hidden entries are left out; a Hidden one still hides
// the same id of later directories), and every "*.AppImage" file directly in
// `appImageFolder` (not in its sub-folders), named by its file name without
// the extension. Hidden files are skipped; folders that cannot be read
// contribute nothing. Sorted, duplicates collapsed; never throws.
std::vector<std::string> installedApplicationNames(const std::vector<std::filesystem::path>& directories,
                                                   const std::filesystem::path& appImageFolder);
// The same for applicationDirectories() and the home folder's "Applications".
std::vector<std::string> installedApplicationNames();

// The name an application file the user picked goes by, matching
// installedApplicationNames(): a desktop file's Name, otherwise (an AppImage,
// any other program, or a desktop file that cannot be read) the file name
// without its extension. Empty when the path has no file name.
std::string applicationNameForFile(const std::filesystem::path& file);

// The entry a window belongs to, by its WM_CLASS instance and class and the
// executable of its process (any may be empty), in three passes — the first hit
// wins: StartupWMClass equal to the class or the instance; the Exec program's
// name equal to the executable's or the instance (not for interpreters and
// launchers such as python3 or env, whose name says nothing about the
// application); the id without ".desktop" equal to the instance or the class.
// Letter case is ignored; hidden entries never match; within a pass a shown
// entry beats a NoDisplay one, then the earlier entry wins. Null when none.
const DesktopEntry* matchEntry(const std::vector<DesktopEntry>& entries, std::string_view wmClassInstance,
                               std::string_view wmClassClass, std::string_view executablePath);

}  // namespace deskwave
