#include "platform/file_append.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace deskwave {
namespace {

// Writes all of `bytes`; false when the system refuses part of them.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool appendToFile(const std::filesystem::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, bytes);
  ::close(fd);
  return ok;
}

}  // namespace deskwave

namespace deskwave {

NewFileResult writeNewFile(const std::filesystem::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EEXIST ? NewFileResult::exists : NewFileResult::failed;
  bool ok = writeAll(fd, bytes);
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(file.c_str());
  return ok ? NewFileResult::written : NewFileResult::failed;
}

}  // namespace deskwave
