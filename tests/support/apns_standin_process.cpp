#include "support/apns_standin_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace deskwave::testing {

ApnsStandinProcess::ApnsStandinProcess(const std::string& script, const std::vector<std::string>& arguments) {
  int out[2];
  int in[2];
  if (::pipe(out) != 0) return;
  if (::pipe(in) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  std::vector<std::string> args = {"node", script};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(in[0], STDIN_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::close(in[0]);
    ::close(in[1]);
    ::execvp("node", argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(in[0]);
  stdin_ = in[1];
  // The first line is the port.
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
    port_ = static_cast<std::uint16_t>(std::stoi(line));
}

ApnsStandinProcess::~ApnsStandinProcess() {
  if (stdin_ >= 0) ::close(stdin_);
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace deskwave::testing
