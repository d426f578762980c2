#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace deskwave::testing {

// Lines in Cursor's agent-transcript format.
inline std::string cursorLine(const std::string& role, const std::vector<std::string>& texts) {
  nlohmann::json content = nlohmann::json::array();
  for (const auto& t : texts) content.push_back({{"type", "text"}, {"text", t}});
  return nlohmann::json{{"role", role}, {"message", {{"content", content}}}}.dump();
}
inline std::string userLine(const std::string& text) { return cursorLine("user", {text}); }
inline std::string assistantLine(const std::string& text) { return cursorLine("assistant", {text}); }

// Writes `lines` (newline-terminated) and sets the file's modification time.
inline void writeTranscript(const std::filesystem::path& file, const std::vector<std::string>& lines, WallTime modified) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (const auto& l : lines) out << l << "\n";
  out.close();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(modified.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

}  // namespace deskwave::testing
