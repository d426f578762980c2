#include "support/temp_home.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace deskwave::testing {

TempHome::TempHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "deskwave-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  ::setenv("HOME", root_.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root_ / ".config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root_ / ".local" / "share").c_str(), 1);
}

TempHome::~TempHome() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace deskwave::testing
