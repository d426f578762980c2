#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace deskwave::testing {

// A deskwave-accounts child process whose standard output is read line by line.
class AccountsProcess {
 public:
  AccountsProcess(const char* binary, const std::filesystem::path& data, const std::string& clientId) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      ::execl(binary, binary, "--listen", "127.0.0.1:0", "--data", data.c_str(),
              "--client-id", clientId.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    fd_ = out[0];
  }
  ~AccountsProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }

  // The next line of output, or nullopt after `seconds` without one.
  std::optional<std::string> nextLine(double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
      if (const auto eol = pending_.find('\n'); eol != std::string::npos) {
        auto line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (fd_ < 0 || left.count() <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const auto n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
};

}  // namespace deskwave::testing
