#include "cli/cli_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace deskwave::testing {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment) {
  // A program that stops reading must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (!environment.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  }
  for (const auto& [name, value] : environment) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int in[2], out[2], err[2];
  if (argv.empty() || ::pipe(in) != 0) return;
  if (::pipe(out) != 0 || ::pipe(err) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

CliProcess::~CliProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(in_);
  closeFd(out_);
  closeFd(err_);
}

void CliProcess::send(std::string_view text) {
  while (in_ >= 0 && !text.empty()) {
    const auto n = ::write(in_, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void CliProcess::closeInput() { closeFd(in_); }

CliResult CliProcess::finish(double seconds) {
  CliResult result;
  closeFd(in_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (out_ >= 0 || err_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      ::kill(pid_, SIGKILL);
      break;
    }
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      int& fd = i == 0 ? out_ : err_;
      char buffer[4096];
      const auto n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0)
        closeFd(fd);
      else
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
    }
  }
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_)
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return result;
}

}  // namespace deskwave::testing
