#include "desktop/fixture_app.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace deskwave::testing {

FixtureApp::FixtureApp(std::vector<std::string> extraEnvironment) {
  int fds[2];
  if (pipe(fds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (auto& e : extraEnvironment) env.push_back(std::move(e));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string python = "/usr/bin/python3";
  std::string script = DESKWAVE_FIXTURE_CHAT;
  char* argv[] = {python.data(), script.data(), nullptr};
  if (posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = 0;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  reader_ = std::thread([this, fd = fds[0]] { readLoop(fd); });
  if (pid_ && !waitForLine("READY", std::chrono::seconds(20))) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
}

FixtureApp::~FixtureApp() {
  if (pid_) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();  // ends at end of file
}

void FixtureApp::readLoop(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const auto n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      {
        std::lock_guard lock(mutex_);
        lines_.push_back(pending.substr(0, end));
      }
      changed_.notify_all();
      pending.erase(0, end + 1);
    }
  }
  close(fd);
}

std::optional<std::string> FixtureApp::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout,
                                                   std::size_t from) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < lines_.size(); ++i)
      if (lines_[i].rfind(prefix, 0) == 0) {
        found = lines_[i];
        return true;
      }
    return false;
  });
  return found;
}

std::vector<std::string> FixtureApp::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool inTestSession() { return std::getenv("DESKWAVE_TEST_SESSION") != nullptr; }

}  // namespace deskwave::testing
