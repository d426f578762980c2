#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace deskwave {
namespace {

std::filesystem::path homeFromSystem() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

// An XDG variable counts only when it holds an absolute path.
std::filesystem::path xdgOr(const char* variable, const std::filesystem::path& fallback) {
  const char* value = std::getenv(variable);
  if (value && *value == '/') return value;
  return fallback;
}

}  // namespace

Paths Paths::underHome(const std::filesystem::path& home) {
  return Paths{home, home / ".config" / "deskwave", home / ".local" / "share" / "deskwave"};
}

Paths Paths::fromEnvironment() {
  const auto home = homeFromSystem();
  return Paths{home, xdgOr("XDG_CONFIG_HOME", home / ".config") / "deskwave",
               xdgOr("XDG_DATA_HOME", home / ".local" / "share") / "deskwave"};
}

std::filesystem::path runningExecutable() {
  std::error_code ec;
  auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : program;
}

}  // namespace deskwave
