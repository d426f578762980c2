#include "platform/linux/desktop_entries.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

namespace deskwave {
namespace {

namespace fs = std::filesystem;

// Larger files are not desktop entries; reading them would only cost memory.
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (isBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalNoCase(std::string_view a, std::string_view b) {
  return !a.empty() && a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

std::string_view baseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Decodes the escapes every string value may hold; unknown ones stay as written.
std::string unescapeValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        out += value[i];
    }
  }
  return out;
}

bool isTrue(std::string_view value) { return value == "true" || value == "1"; }

// Programs that run other programs: the process's executable name says nothing
// about which application it is (every Python script's is "python3.11").
bool isGenericLauncher(std::string_view name) {
  static constexpr std::array<std::string_view, 9> exact = {"env",     "sh",   "bash",  "dash", "zsh",
                                                            "flatpak", "snap", "bwrap", "mono"};
  static constexpr std::array<std::string_view, 8> versioned = {"python", "perl", "ruby",     "node",
                                                                "nodejs", "java", "electron", "dotnet"};
  if (std::find(exact.begin(), exact.end(), name) != exact.end()) return true;
  for (const auto base : versioned) {
    if (name.substr(0, base.size()) != base) continue;
    const auto rest = name.substr(base.size());
    if (std::all_of(rest.begin(), rest.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) return true;
  }
  return false;
}

std::optional<std::string> readSmallFile(const fs::path& file) {
  std::error_code ec;
  // Only regular files (or links to one): opening a named pipe would block.
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  const auto size = fs::file_size(file, ec);
  if (ec || size > kMaxFileBytes) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

void addDataDirectory(std::vector<fs::path>& out, std::string_view dir) {
  if (dir.empty() || dir.front() != '/') return;  // relative entries are invalid
  out.push_back(fs::path(dir) / "applications");
}

}  // namespace

std::string execProgram(std::string_view exec) {
  bool afterEnv = false;
  bool skipArgument = false;  // env's option argument ("-u NAME")
  std::size_t i = 0;
  // Reads words until the program is known: the first, or the first after "env NAME=value …".
  while (i < exec.size()) {
    while (i < exec.size() && isBlank(exec[i])) ++i;
    if (i >= exec.size()) break;
    std::string word;
    bool literal = false;  // holds something besides field codes
    while (i < exec.size() && !isBlank(exec[i])) {
      const char c = exec[i];
      if (c == '"') {
        ++i;
        for (;; ++i) {
          if (i >= exec.size()) return {};  // an unterminated quote: the line is invalid
          if (exec[i] == '"') break;
          if (exec[i] == '\\' && i + 1 < exec.size() &&
              std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos)
            ++i;
          word += exec[i];
          literal = true;
        }
        ++i;
      } else if (c == '%' && i + 1 < exec.size()) {
        if (exec[i + 1] == '%') {
          word += '%';
          literal = true;
        }
        i += 2;  // any other field code stands for arguments, never for the program
      } else {
        word += c;
        literal = true;
        ++i;
      }
    }
    if (!literal || word.empty()) continue;
    if (afterEnv && skipArgument) {
      skipArgument = false;
      continue;
    }
    if (afterEnv && (word.find('=') != std::string::npos || word.front() == '-')) {  // env's NAME=value, options
      skipArgument = word == "-u" || word == "-C";
      continue;
    }
    if (!afterEnv && baseName(word) == "env") {
      afterEnv = true;
      continue;
    }
    return word;
  }
  return {};
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, std::string id, fs::path file) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  enum class Group { None, Entry, Other } group = Group::None;
  bool entrySeen = false;
  std::optional<std::string> type, name, exec, wmClass, noDisplay, hidden;
  const std::array<std::pair<std::string_view, std::optional<std::string>*>, 6> wanted = {{{"Type", &type},
                                                                                           {"Name", &name},
                                                                                           {"Exec", &exec},
                                                                                           {"StartupWMClass", &wmClass},
                                                                                           {"NoDisplay", &noDisplay},
                                                                                           {"Hidden", &hidden}}};
  while (!text.empty()) {
    const auto end = text.find('\n');
    const auto line = trimBlanks(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      // A second [Desktop Entry] group is invalid; the first one counts.
      const bool isEntry = line == "[Desktop Entry]" && !entrySeen;
      entrySeen = entrySeen || isEntry;
      group = isEntry ? Group::Entry : Group::Other;
      continue;
    }
    if (group != Group::Entry) continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const auto key = trimBlanks(line.substr(0, eq));
    for (auto& [wantedKey, slot] : wanted)
      if (key == wantedKey && !*slot) *slot = unescapeValue(trimBlanks(line.substr(eq + 1)));
  }
  if (type != "Application" || !name || name->empty()) return std::nullopt;

  DesktopEntry entry;
  entry.id = std::move(id);
  entry.file = std::move(file);
  entry.name = std::move(*name);
  if (exec) entry.program = execProgram(*exec);
  entry.programName = std::string(baseName(entry.program));
  entry.startupWMClass = wmClass.value_or("");
  entry.noDisplay = noDisplay && isTrue(*noDisplay);
  entry.hidden = hidden && isTrue(*hidden);
  return entry;
}

std::vector<fs::path> applicationDirectories(const char* dataHome, const char* dataDirs, const char* home) {
  std::vector<fs::path> out;
  if (dataHome && *dataHome == '/')
    addDataDirectory(out, dataHome);
  else if (home && *home == '/')
    addDataDirectory(out, (fs::path(home) / ".local/share").string());

  std::string_view dirs = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
  while (true) {
    const auto colon = dirs.find(':');
    addDataDirectory(out, dirs.substr(0, colon));
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return out;
}

std::vector<fs::path> applicationDirectories() {
  return applicationDirectories(std::getenv("XDG_DATA_HOME"), std::getenv("XDG_DATA_DIRS"), std::getenv("HOME"));
}

std::vector<DesktopEntry> loadDesktopEntries(const std::vector<fs::path>& directories) {
  std::vector<DesktopEntry> out;
  std::set<std::string> taken;
  try {
    for (const auto& dir : directories) {
      std::error_code ec;
      if (!fs::is_directory(dir, ec)) continue;
      // Directory links are not followed, so a link loop cannot trap the walk.
      std::vector<std::pair<std::string, fs::path>> found;
      fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
      for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const auto& path = it->path();
        if (path.extension() != ".desktop") continue;
        auto id = path.lexically_relative(dir).generic_string();
        std::replace(id.begin(), id.end(), '/', '-');
        found.emplace_back(std::move(id), path);
      }
      std::sort(found.begin(), found.end());
      for (auto& [id, path] : found) {
        std::error_code statError;
        if (!fs::is_regular_file(path, statError) || !taken.insert(id).second) continue;
        const auto text = readSmallFile(path);
        if (!text) continue;
        if (auto entry = parseDesktopEntry(*text, id, path)) out.push_back(std::move(*entry));
      }
    }
  } catch (...) {
    // Out of memory: what was read so far is still good.
  }
  return out;
}

std::vector<DesktopEntry> loadDesktopEntries() { return loadDesktopEntries(applicationDirectories()); }

std::vector<std::string> installedApplicationNames(const std::vector<fs::path>& directories,
                                                   const fs::path& appImageFolder) {
  std::set<std::string> names;
  try {
    for (const auto& entry : loadDesktopEntries(directories))
      if (!entry.noDisplay && !entry.hidden) names.insert(entry.name);

    std::error_code ec;
    if (!appImageFolder.empty() && fs::is_directory(appImageFolder, ec)) {
      fs::directory_iterator it(appImageFolder, fs::directory_options::skip_permission_denied, ec);
      for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const auto& path = it->path();
        const auto fileName = path.filename().string();
        std::error_code statError;
        if (fileName.front() == '.' || !equalNoCase(path.extension().string(), ".AppImage") ||
            !fs::is_regular_file(path, statError))
          continue;
        names.insert(path.stem().string());
      }
    }
  } catch (...) {
    // Out of memory: what was found so far is still good.
  }
  return {names.begin(), names.end()};
}

std::vector<std::string> installedApplicationNames() {
  const char* home = std::getenv("HOME");
  const fs::path appImages = home && *home == '/' ? fs::path(home) / "Applications" : fs::path();
  return installedApplicationNames(applicationDirectories(), appImages);
}

std::string applicationNameForFile(const fs::path& file) {
  if (!file.has_filename()) return {};
  if (file.extension() == ".desktop") {
    if (const auto text = readSmallFile(file))
      if (auto entry = parseDesktopEntry(*text)) return std::move(entry->name);
  }
  return file.stem().string();
}

const DesktopEntry* matchEntry(const std::vector<DesktopEntry>& entries, std::string_view wmClassInstance,
                               std::string_view wmClassClass, std::string_view executablePath) {
  const auto executableName = baseName(executablePath);
  const auto matches = [&](const DesktopEntry& e, int pass) {
    switch (pass) {
      case 0:
        return equalNoCase(e.startupWMClass, wmClassClass) || equalNoCase(e.startupWMClass, wmClassInstance);
      case 1:
        return !isGenericLauncher(e.programName) &&
               (equalNoCase(e.programName, executableName) || equalNoCase(e.programName, wmClassInstance));
      default: {
        std::string_view stem = e.id;
        if (stem.ends_with(".desktop")) stem.remove_suffix(std::string_view(".desktop").size());
        return equalNoCase(stem, wmClassInstance) || equalNoCase(stem, wmClassClass);
      }
    }
  };
  for (int pass = 0; pass < 3; ++pass) {
    const DesktopEntry* unlisted = nullptr;  // the first NoDisplay hit, should no shown entry match
    for (const auto& e : entries) {
      if (e.hidden || !matches(e, pass)) continue;
      if (!e.noDisplay) return &e;
      if (!unlisted) unlisted = &e;
    }
    if (unlisted) return unlisted;
  }
  return nullptr;
}

}  // namespace deskwave
