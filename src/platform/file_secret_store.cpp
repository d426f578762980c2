#include "platform/file_secret_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

namespace deskwave {

namespace fs = std::filesystem;

struct FileSecretStore::Contents {
  std::map<std::string, std::string> values;
  bool readable = true;  // false: the file exists but cannot be read or is corrupt
};

std::filesystem::path secretsFile(const std::filesystem::path& configDir) { return configDir / "secrets.json"; }

FileSecretStore::FileSecretStore(fs::path file, Log log) : file_(std::move(file)), log_(std::move(log)) {}

std::optional<std::string> FileSecretStore::get(const std::string& key) {
  std::optional<std::string> value;
  {
    std::lock_guard lock(mutex_);
    auto contents = read();
    if (const auto it = contents.values.find(key); it != contents.values.end()) value = std::move(it->second);
  }
  flushLog();
  return value;
}

void FileSecretStore::set(const std::string& value, const std::string& key) {
  {
    std::lock_guard lock(mutex_);
    auto contents = read();
    const auto found = contents.values.find(key);
    if (!contents.readable || found == contents.values.end() || found->second != value) {
      contents.values.insert_or_assign(key, value);
      write(contents);
    }
  }
  flushLog();
}

void FileSecretStore::remove(const std::string& key) {
  {
    std::lock_guard lock(mutex_);
    auto contents = read();
    // A corrupt file is replaced too: whatever it still holds should not outlive the removal.
    if (contents.values.erase(key) || !contents.readable) write(contents);
  }
  flushLog();
}

FileSecretStore::Contents FileSecretStore::read() {
  Contents contents;
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {  // nothing stored yet
      contents.readable = false;
      logOnce("Secrets: cannot read " + file_.string() + ": " + std::strerror(errno));
    }
    return contents;
  }
  if ((st.st_mode & 077) != 0) {
    if (::chmod(file_.c_str(), 0600) == 0)
      logOnce("Secrets: " + file_.string() + " was readable by others; now by its owner only");
    else
      logOnce("Secrets: cannot restrict " + file_.string() + " to its owner: " + std::strerror(errno));
  }
  std::ifstream in(file_, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto json = nlohmann::json::parse(text, nullptr, false);
  bool valid = in.good() || in.eof();
  valid = valid && json.is_object();
  if (valid) {
    for (const auto& [key, value] : json.items()) {
      if (!value.is_string()) {
        valid = false;
        break;
      }
      contents.values.emplace(key, value.get<std::string>());
    }
  }
  if (!valid) {
    contents.values.clear();
    contents.readable = false;
    logOnce("Secrets: " + file_.string() + " is unreadable or corrupt; it is replaced on the next change");
  }
  return contents;
}

bool FileSecretStore::write(const Contents& contents) {
  std::string text;
  try {
    text = nlohmann::json(contents.values).dump(2) + "\n";
  } catch (const nlohmann::json::exception&) {
    logOnce("Secrets: a value is not UTF-8 text; not stored");
    return false;
  }
  std::error_code ec;
  fs::create_directories(file_.parent_path(), ec);
  // mkstemp creates the file with mode 0600: the secrets are never readable by others, even briefly.
  std::string temp = (file_.parent_path() / ("." + file_.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    logOnce("Secrets: cannot write in " + file_.parent_path().string() + ": " + std::strerror(errno));
    return false;
  }
  bool ok = ::fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const auto n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), file_.c_str()) == 0) return true;
  logOnce("Secrets: cannot write " + file_.string() + ": " + std::strerror(ok ? errno : savedErrno));
  ::unlink(temp.c_str());
  return false;
}

void FileSecretStore::logOnce(const std::string& line) {
  if (logged_.insert(line).second) unlogged_.push_back(line);
}

void FileSecretStore::flushLog() {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    lines.swap(unlogged_);
  }
  if (log_)
    for (const auto& line : lines) log_(line);
}

}  // namespace deskwave
