#include "support/child_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace deskwave::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int out[2];
  if (argv.empty() || ::pipe(out) != 0) return;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  fd_ = out[0];
}

ChildProcess::~ChildProcess() {
  stop();
  if (fd_ >= 0) ::close(fd_);
}

void ChildProcess::stop(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::optional<std::string> ChildProcess::nextLine(double seconds) {
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

ListeningProcess::ListeningProcess(const std::vector<std::string>& argv) : ChildProcess(argv) {
  firstLine_ = nextLine().value_or("");
  const auto at = firstLine_.find("listening on 127.0.0.1:");
  if (at != std::string::npos) port_ = static_cast<std::uint16_t>(std::stoi(firstLine_.substr(at + 23)));
}

}  // namespace deskwave::testing
