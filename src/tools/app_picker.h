#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace deskwave {

// What the "add an application" dialog shows and accepts.
struct AppPickRequest {
  std::string message = "Pick an AI coding app";
  std::string confirmLabel = "Add";
  std::filesystem::path startFolder;
  // Only files whose names match one of these may be chosen, one at a time,
  // never a folder.
  std::vector<std::string> filePatterns = {"*.desktop", "*.AppImage"};
};

// A modal dialog, brought to the front, in which the user picks one
// application file. The desktop window supplies the real one.
class AppPicker {
 public:
  using Done = std::function<void(std::optional<std::string> path)>;
  virtual ~AppPicker() = default;
  // `done` runs once: with the chosen file's path, or nullopt when the dialog
  // was cancelled or yielded nothing.
  virtual void pickApplication(const AppPickRequest& request, Done done) = 0;
};

}  // namespace deskwave
