#pragma once

// The pieces of the command line shared by its source files (cli_*.cpp); the
// program itself sees only command_line.h.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/asio_runtime.h"
#include "platform/paths.h"
#include "platform/settings_store.h"

namespace deskwave::cli {

// Exit statuses.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;     // the action did not succeed
inline constexpr int kBadInput = 2;   // the input was refused; nothing was changed

// Thrown by a command to end with `status`, after "deskwave: <message>" on
// standard error (nothing when the message is empty).
struct Failure {
  int status = kFailed;
  std::string message;
};
[[noreturn]] inline void fail(int status, std::string message) { throw Failure{status, std::move(message)}; }

// The program's settings file, shared with a running bridge. Failure when it
// cannot be opened: a command never falls back to settings it would lose.
std::shared_ptr<SettingsStore> openProgramSettings(const Paths& paths);
// True once the settings reported a read or write they could not do.
bool settingsFailed();

// The main executor that the account and tool flows run on, pumped on the
// calling thread only while a flow is under way, so that the terminal can be
// read between two flows.
class MainLoop {
 public:
  using Done = std::function<void()>;
  MainLoop();
  const Runtime& runtime() const { return asio_.runtime(); }
  // Posts `start` to the main executor and runs the loop until the `done` it
  // was given has been called.
  void runUntilDone(const std::function<void(Done done)>& start);

 private:
  AsioRuntime asio_{1};
};

// The lines a command asks for: from the terminal, with a prompt on standard
// error and without echo for secrets; or, when standard input is not a
// terminal, plain lines without prompts (so that input can be piped).
class Input {
 public:
  bool interactive() const;
  // One line without its line ending; nullopt at the end of input.
  std::optional<std::string> line(const std::string& prompt);
  // The same, not echoed on a terminal.
  std::optional<std::string> secret(const std::string& prompt);
};

// Writes one line to standard output.
void say(const std::string& line);

int login(const std::optional<std::string>& email);
int signup(const std::optional<std::string>& email);
int logout();

int toolsList();
int toolsScan();
int toolsSelect(const std::vector<std::string>& names);
int toolsAdd(const std::string& path);
int toolsRemove(const std::string& name);

int pair(const std::string& pin);
int status();

int settingsGet(const std::string& key);
int settingsSet(const std::string& key, const std::string& value, const std::string& type);
int settingsRemove(const std::string& key);

// Claude Code hooks: one event reported to the bridge (always status 0), and
// Deskwave's entries in Claude Code's settings.
int hook(const std::string& event);
int hooksInstall();
int hooksUninstall();
int hooksStatus();

}  // namespace deskwave::cli
