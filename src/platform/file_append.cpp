#include "platform/file_append.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace deskwave {

bool appendToFile(const std::filesystem::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace deskwave

namespace deskwave {

NewFileResult writeNewFile(const std::filesystem::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno == EEXIST ? NewFileResult::exists : NewFileResult::failed;
  bool ok = true;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(file.c_str());
  return ok ? NewFileResult::written : NewFileResult::failed;
}

}  // namespace deskwave
