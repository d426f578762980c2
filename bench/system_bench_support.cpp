#include "system_bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "support/raw_http.h"

namespace deskwave::bench {
namespace {

// The account the desktop is signed in with; its id is the relay's pairing secret.

bool healthAnswers() {
  return testing::exchange(8765, testing::get("/health")).find("\"paused\"") != std::string::npos;
}

std::string readWhole(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number after "<name>:" in /proc/<pid>/status, in kB.
std::optional<double> statusKiB(const std::string& status, const std::string& name) {
  const auto at = status.find("\n" + name + ":");
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(status.c_str() + at + name.size() + 2, nullptr);
}

}  // namespace

bool inIsolatedSession() {
  const char* isolated = std::getenv("DESKWAVE_ISOLATED");
  const char* session = std::getenv("DESKWAVE_TEST_SESSION");
  return isolated && std::string(isolated) == "1" && session;
}

HeadlessDeskwave::HeadlessDeskwave(const std::filesystem::path& home) : logFile_(home / "deskwave.log") {
  // Nothing answers on these: the desktop runs without an account service or relay.
  ::setenv("DESKWAVE_COGNITO_ENDPOINT", "http://127.0.0.1:9/", 1);
  ::setenv("DESKWAVE_RELAY_URL", "ws://127.0.0.1:9/", 1);
  const std::string redirect = "exec \"$0\" \"$@\" >>'" + logFile_.string() + "' 2>&1";
  std::vector<std::string> argv = {"/bin/sh", "-c", redirect};
  // A tool to run it under, such as "valgrind --tool=callgrind", for finding what takes the time.
  if (const char* wrapper = std::getenv("DESKWAVE_BENCH_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) argv.push_back(word);
  }
  argv.insert(argv.end(), {DESKWAVE_BINARY, "--headless"});
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

HeadlessDeskwave::~HeadlessDeskwave() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "deskwave did not end on SIGTERM within 10 s; killing it\n");
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool HeadlessDeskwave::running() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

bool HeadlessDeskwave::waitUntilReady(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (healthAnswers()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string HeadlessDeskwave::log() const { return readWhole(logFile_); }

std::string HeadlessDeskwave::logTail(std::size_t count) const {
  std::istringstream in(log());
  std::deque<std::string> last;
  for (std::string line; std::getline(in, line);) {
    last.push_back(line);
    if (last.size() > count) last.pop_front();
  }
  std::string out;
  for (const auto& line : last) out += "  | " + line + "\n";
  return out;
}

std::optional<ProcessUsage> readUsage(pid_t pid) {
  const auto dir = std::filesystem::path("/proc") / std::to_string(pid);
  const auto status = "\n" + readWhole(dir / "status");
  const auto stat = readWhole(dir / "stat");
  const auto rss = statusKiB(status, "VmRSS");
  const auto hwm = statusKiB(status, "VmHWM");
  // The command name may hold blanks and parentheses: fields count from the last ')'.
  const auto close = stat.rfind(')');
  if (!rss || !hwm || close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state (3) … utime (14), stime (15).
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) stime = std::stoull(field);
  }
  return ProcessUsage{*rss / 1024.0, *hwm / 1024.0, static_cast<double>(utime + stime) * secondsPerTick(),
                      static_cast<double>(stime) * secondsPerTick()};
}

double secondsPerTick() { return 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)); }

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double millisBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

void setModified(const std::filesystem::path& file, std::chrono::system_clock::time_point t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

}  // namespace deskwave::bench
