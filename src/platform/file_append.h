#pragma once

#include <filesystem>
#include <string_view>

namespace deskwave {

// Appends `bytes` to `file`, creating it (mode 0600) when it does not exist.
// Returns false when the file cannot be opened or fully written.
bool appendToFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace deskwave

namespace deskwave {

enum class NewFileResult { written, exists, failed };

// Creates `file` (mode 0600) and writes `bytes`; never replaces an existing file.
// A partly written file is removed.
NewFileResult writeNewFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace deskwave
