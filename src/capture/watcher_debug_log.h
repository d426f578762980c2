#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/executor.h"
#include "platform/observable.h"

namespace deskwave {

// The application's debug log: one line per user-meaningful event, as
// "[HH:mm:ss] message". Each line is echoed to standard output with the prefix
// "[ResponseWatcher] ", appended to the log file, and kept (newest 200) in
// `entries` for the interface.
class WatcherDebugLog : public std::enable_shared_from_this<WatcherDebugLog> {
 public:
  static constexpr std::size_t kMaxEntries = 200;
  using Echo = std::function<void(std::string_view)>;

  // `echo` receives each prefixed line without its newline; by default it goes
  // to standard output.
  static std::shared_ptr<WatcherDebugLog> create(std::filesystem::path file, std::shared_ptr<Executor> main,
                                                 std::shared_ptr<Clock> clock, Echo echo = {});

  // Callable from any thread. The file append happens on the calling thread;
  // `entries` changes later, on the main thread.
  void log(std::string_view message);

  // Main thread only.
  Observable<std::vector<std::string>>& entries() { return entries_; }
  const std::filesystem::path& file() const { return file_; }

 private:
  WatcherDebugLog(std::filesystem::path file, std::shared_ptr<Executor> main, std::shared_ptr<Clock> clock,
                  Echo echo);
  void append(const std::string& line);

  std::filesystem::path file_;
  std::shared_ptr<Executor> main_;
  std::shared_ptr<Clock> clock_;
  Echo echo_;
  Observable<std::vector<std::string>> entries_;
};

}  // namespace deskwave
