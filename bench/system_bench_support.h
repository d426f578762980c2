#pragma once

// Shared pieces of the whole-process benchmarks: a real `deskwave --headless`
// in a temporary home, and what the kernel says about the process it runs as.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace deskwave::bench {

// True inside tests/system/run_isolated.sh: a private network namespace (so
// that the desktop may own port 8765) with the private headless desktop.
bool inIsolatedSession();

// `deskwave --headless` started in the current $HOME (a temporary one), its
// output appended to <home>/deskwave.log; nothing answers on the account
// service's or the relay's address. Stopped with SIGTERM and reaped when
// destroyed. $DESKWAVE_BENCH_WRAPPER, when set, is a command (words split at
// blanks) that deskwave is run under, such as "valgrind --tool=callgrind".
class HeadlessDeskwave {
 public:
  explicit HeadlessDeskwave(const std::filesystem::path& home);
  ~HeadlessDeskwave();
  HeadlessDeskwave(const HeadlessDeskwave&) = delete;
  HeadlessDeskwave& operator=(const HeadlessDeskwave&) = delete;

  // Waits until the local link answers "/health"; false after `timeout` or
  // when the process has ended.
  bool waitUntilReady(std::chrono::milliseconds timeout);
  // The process id of deskwave itself (the shell that started it exec'd it).
  pid_t pid() const { return pid_; }
  bool running();
  std::string log() const;
  // The last `count` lines of the log, for a failure message.
  std::string logTail(std::size_t count) const;

 private:
  std::filesystem::path logFile_;
  pid_t pid_ = -1;
};

// One reading of /proc/<pid>: resident memory now and its peak (VmRSS, VmHWM)
// and the CPU time used so far by all threads (utime + stime).
struct ProcessUsage {
  double rssMiB = 0;
  double peakRssMiB = 0;
  double cpuSeconds = 0;     // user + system
  double systemSeconds = 0;  // of which in the kernel
};
std::optional<ProcessUsage> readUsage(pid_t pid);

// The seconds one CPU tick of /proc/<pid>/stat stands for.
double secondsPerTick();

double median(std::vector<double> values);

// Milliseconds between two steady-clock points.
double millisBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);

// Sets a file's modification (and access) time.
void setModified(const std::filesystem::path& file, std::chrono::system_clock::time_point t);

}  // namespace deskwave::bench
