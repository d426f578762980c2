#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace deskwave::testing {

// The fixture chat window (fixture_chat.py) as a child process, with the lines
// it prints collected as they come.
class FixtureApp {
 public:
  // Starts it and waits until its window is mapped; `pid()` is 0 when that failed.
  explicit FixtureApp(std::vector<std::string> extraEnvironment = {});
  ~FixtureApp();
  FixtureApp(const FixtureApp&) = delete;
  FixtureApp& operator=(const FixtureApp&) = delete;

  pid_t pid() const { return pid_; }
  // The first line printed after `from` lines that starts with `prefix`, waiting up to `timeout`.
  std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::milliseconds timeout,
                                         std::size_t from = 0);
  std::vector<std::string> lines() const;

 private:
  void readLoop(int fd);

  pid_t pid_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// Waits, checking every 20 ms, until `condition` holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Whether the test runs inside run_in_session.sh's private desktop.
bool inTestSession();

}  // namespace deskwave::testing
