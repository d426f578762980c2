#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace deskwave::testing {

// A program of the project run as a child process whose standard output the
// test reads line by line. Stopped (SIGTERM) and reaped when destroyed.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of output, or nullopt after `seconds` without one or at its end.
  std::optional<std::string> nextLine(double seconds = 10);
  // Sends `signal` and waits for the process to end.
  void stop(int signal = SIGTERM);

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
};

// A server program that announces itself on its first line of output with
// "… listening on 127.0.0.1:PORT …".
class ListeningProcess : public ChildProcess {
 public:
  explicit ListeningProcess(const std::vector<std::string>& argv);
  const std::string& firstLine() const { return firstLine_; }
  // The announced port; 0 when the program did not start.
  std::uint16_t port() const { return port_; }

 private:
  std::string firstLine_;
  std::uint16_t port_ = 0;
};

}  // namespace deskwave::testing
