#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace deskwave::testing {

// What a finished command printed and how it ended.
struct CliResult {
  int status = -1;  // exit status; 128 + the signal when killed
  std::string out;
  std::string err;
};

// One run of a command line program with its own standard input, output and
// error, in this process's environment changed by `environment`.
class CliProcess {
 public:
  CliProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment);
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Writes to the program's standard input.
  void send(std::string_view text);
  // Ends its input (as finish() does) while it keeps running.
  void closeInput();
  // Ends its input, collects its output until it exits (killed after `seconds`).
  CliResult finish(double seconds = 60);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

}  // namespace deskwave::testing
