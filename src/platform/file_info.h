#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace deskwave {

// The content modification time of a file; nullopt when it cannot be read.
std::optional<WallTime> modificationTime(const std::filesystem::path& file);

// A file's content modification time and size, read with one system call;
// nullopt when they cannot be read.
struct FileStatus {
  WallTime modified;
  std::uintmax_t size = 0;
};
std::optional<FileStatus> fileStatus(const std::filesystem::path& file);

// True when the current user may read the file.
bool isReadable(const std::filesystem::path& file);

// The whole file; nullopt when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

// Names starting with "." are hidden.
inline bool isHidden(const std::filesystem::path& entry) {
  const auto name = entry.filename().string();
  return !name.empty() && name.front() == '.';
}

}  // namespace deskwave

namespace deskwave {

struct DirectoryEntry {
  std::filesystem::path path;
  bool isDirectory = false;
};

// The non-hidden entries of a folder; nullopt when it cannot be listed.
// Entries whose type cannot be read count as files. Never throws.
std::optional<std::vector<DirectoryEntry>> listVisibleEntries(const std::filesystem::path& folder);

}  // namespace deskwave
