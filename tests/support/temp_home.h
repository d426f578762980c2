#pragma once

#include <filesystem>

#include "platform/paths.h"

namespace deskwave::testing {

// A fresh temporary folder used as the home folder, removed afterwards. While
// it lives, HOME, XDG_CONFIG_HOME and XDG_DATA_HOME point into it, so that no
// test touches the real ones.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return root_; }
  Paths paths() const { return Paths::underHome(root_); }

 private:
  std::filesystem::path root_;
};

}  // namespace deskwave::testing
