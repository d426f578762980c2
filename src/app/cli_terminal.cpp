// Reading what the account commands ask for from the terminal, or from piped
// input. Turning the echo off for a password is the one thing here that needs
// the terminal itself.

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "app/cli_commands.h"

namespace deskwave::cli {
namespace {

// The terminal's settings while the echo is off, for the signal handler to put back.
struct termios savedTerminal;
volatile std::sig_atomic_t echoIsOff = 0;

// Interrupted while a password is typed: give the terminal its echo back, then
// end as the signal would have.
extern "C" void restoreEchoAndDie(int signal) {
  if (echoIsOff) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Turns the terminal's echo off while it lives.
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    struct termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) previous_[count_++] = {s, std::signal(s, restoreEchoAndDie)};
    echoIsOff = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (echoIsOff) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    echoIsOff = 0;
    for (int i = 0; i < count_; ++i) std::signal(previous_[i].first, previous_[i].second);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  std::pair<int, void (*)(int)> previous_[4];
  int count_ = 0;
};

std::optional<std::string> readLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool Input::interactive() const { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> Input::line(const std::string& prompt) {
  if (interactive()) std::cerr << prompt << std::flush;
  return readLine();
}

std::optional<std::string> Input::secret(const std::string& prompt) {
  if (!interactive()) return readLine();
  std::cerr << prompt << std::flush;
  EchoOff quiet;
  return readLine();
}

}  // namespace deskwave::cli
