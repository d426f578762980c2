#include "platform/file_info.h"

#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace deskwave {

namespace {

WallTime modifiedOf(const struct stat& st) {
  return WallTime{} + std::chrono::duration_cast<WallTime::duration>(std::chrono::seconds(st.st_mtim.tv_sec) +
                                                                     std::chrono::nanoseconds(st.st_mtim.tv_nsec));
}

}  // namespace

std::optional<WallTime> modificationTime(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return modifiedOf(st);
}

std::optional<FileStatus> fileStatus(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileStatus{modifiedOf(st), static_cast<std::uintmax_t>(st.st_size)};
}

bool isReadable(const std::filesystem::path& file) { return ::access(file.c_str(), R_OK) == 0; }

std::optional<std::string> readWholeFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace deskwave

namespace deskwave {

std::optional<std::vector<DirectoryEntry>> listVisibleEntries(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<DirectoryEntry> out;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    if (isHidden(it->path())) continue;
    std::error_code typeError;
    const bool directory = it->is_directory(typeError);
    out.push_back({it->path(), directory && !typeError});
  }
  return out;
}

}  // namespace deskwave
