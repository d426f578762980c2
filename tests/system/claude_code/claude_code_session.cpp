#include "system/claude_code/claude_code_session.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/cli_process.h"

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// The environment variable that marks every process of one session.
constexpr const char* kMarker = "DESKWAVE_CLAUDE_CODE_SESSION";

std::string readWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The processes whose environment holds `marker`=`value`, as "PID COMMAND".
std::vector<std::pair<pid_t, std::string>> markedProcesses(const std::string& value) {
  const std::string wanted = std::string(kMarker) + "=" + value;
  std::vector<std::pair<pid_t, std::string>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto environment = readWhole(entry.path() / "environ");
    std::istringstream variables(environment);
    bool marked = false;
    for (std::string variable; std::getline(variables, variable, '\0');) marked = marked || variable == wanted;
    if (!marked) continue;
    auto command = readWhole(entry.path() / "cmdline");
    for (auto& c : command)
      if (c == '\0') c = ' ';
    found.emplace_back(static_cast<pid_t>(std::stol(name)), command);
  }
  return found;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// The text typed in Claude Code's prompt box: the last line starting with its
// prompt sign "❯", without the blanks (a no-break space among them) around it.
std::string promptLine(const std::string& screen) {
  static const std::string kSign = "\u276f";
  std::string line;
  std::istringstream rows(screen);
  for (std::string row; std::getline(rows, row);)
    if (row.rfind(kSign, 0) == 0) line = row.substr(kSign.size());
  static const std::string kNoBreakSpace = "\u00a0";
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    if (line.rfind(kNoBreakSpace, 0) == 0) line.erase(0, kNoBreakSpace.size()), trimmed = true;
    if (!line.empty() && line.front() == ' ') line.erase(0, 1), trimmed = true;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace

void prepareClaudeHome(const fs::path& home, const fs::path& project, const std::string& apiKey) {
  // What this Claude Code version asks on a first start, each answered here:
  // the welcome and theme screens (hasCompletedOnboarding), whether to trust
  // the folder (hasTrustDialogAccepted), whether to use the key found in
  // ANTHROPIC_API_KEY (its last 20 characters approved), and whether to make
  // auto mode the default (hasSeenAutoDefaultNudge; the notice about it too).
  const Json state = {
      {"hasCompletedOnboarding", true},
      {"hasSeenAutoDefaultNudge", true},
      {"hasSeenAutoDefaultNotice", true},
      {"customApiKeyResponses",
       {{"approved", Json::array({apiKey.size() > 20 ? apiKey.substr(apiKey.size() - 20) : apiKey})},
        {"rejected", Json::array()}}},
      {"projects", {{project.string(), {{"hasTrustDialogAccepted", true}}}}},
  };
  std::ofstream(home / ".claude.json") << state.dump(2) << "\n";
  // Auto mode, this version's default, has the API judge each tool call
  // instead of asking: the tests want Claude Code to ask, as the hook relays.
  fs::create_directories(home / ".claude");
  const Json settings = {{"permissions", {{"defaultMode", "default"}}}};
  std::ofstream(home / ".claude" / "settings.json") << settings.dump(2) << "\n";
}

ClaudeCodeSession::ClaudeCodeSession(Options options) : options_(std::move(options)) {
  static std::atomic<int> sessions{0};
  server_ = "deskwave-claude-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions);
  // Only what Claude Code needs, so that nothing of the machine's own set-up
  // (another key, another configuration folder) reaches it.
  std::vector<std::string> environment = {
      "PATH=/usr/local/bin:/usr/bin:/bin",
      "HOME=" + options_.home.string(),
      "SHELL=/bin/bash",
      "TERM=xterm-256color",
      "LANG=C.UTF-8",
      "ANTHROPIC_BASE_URL=" + options_.apiUrl,
      "ANTHROPIC_API_KEY=" + options_.apiKey,
      // Offline: no telemetry, error reports, update checks or release notes;
      // without the last switch it still clones the official plugin
      // marketplace (probing ssh to GitHub first) on its first start.
      "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1",
      "DISABLE_AUTOUPDATER=1",
      "CLAUDE_CODE_DISABLE_OFFICIAL_MARKETPLACE_AUTOINSTALL=1",
      std::string(kMarker) + "=" + server_,
  };
  // The hooks Claude Code runs are this build's deskwave: a sanitizer build
  // needs the run's sanitizer settings there too.
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
  std::vector<std::string> arguments = {"new-session", "-d", "-s", "desk", "-x", "160", "-y", "50",
                                        "-c", options_.project.string(), "--", "/usr/bin/env", "-i"};
  arguments.insert(arguments.end(), environment.begin(), environment.end());
  arguments.push_back(options_.binary.string());
  tmux(arguments);
}

ClaudeCodeSession::~ClaudeCodeSession() { stop(); }

std::string ClaudeCodeSession::tmux(const std::vector<std::string>& arguments) const {
  // No configuration file; the socket lives in the temporary home.
  std::vector<std::string> argv = {options_.tmux.string(), "-f", "/dev/null", "-L", server_};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  CliProcess process(argv, {{"TMUX_TMPDIR", options_.home.string()}, {"TMUX", ""}, {kMarker, server_}});
  return process.finish(10).out;
}

std::string ClaudeCodeSession::screen() const { return tmux({"capture-pane", "-p", "-t", "desk"}); }

bool ClaudeCodeSession::waitForScreen(const std::function<bool(const std::string&)>& condition,
                                      std::chrono::milliseconds timeout) const {
  return waitFor([&] { return condition(screen()); }, timeout);
}

bool ClaudeCodeSession::waitUntilIdle(std::chrono::milliseconds timeout) const {
  // The status line offers the shortcuts only while the prompt box is empty
  // and nothing runs; a running turn offers "esc to interrupt" instead.
  return waitForScreen(
      [](const std::string& s) {
        return s.find("? for shortcuts") != std::string::npos && s.find("esc to interrupt") == std::string::npos;
      },
      timeout);
}

bool ClaudeCodeSession::submit(const std::string& text) const {
  tmux({"send-keys", "-t", "desk", "-l", text});
  // Return sent with the text could be taken as part of a paste: it goes once
  // the prompt box shows the text.
  if (!waitForScreen([&](const std::string& s) { return promptLine(s) == text; }, 10s)) return false;
  press("Enter");
  return true;
}

void ClaudeCodeSession::press(const std::string& key) const { tmux({"send-keys", "-t", "desk", key}); }

std::optional<fs::path> ClaudeCodeSession::transcript() const {
  std::optional<fs::path> newest;
  fs::file_time_type newestTime;
  std::error_code ec;
  for (const auto& project : fs::directory_iterator(options_.home / ".claude" / "projects", ec)) {
    std::error_code inner;
    for (const auto& file : fs::directory_iterator(project.path(), inner)) {
      if (file.path().extension() != ".jsonl") continue;
      const auto time = fs::last_write_time(file.path(), inner);
      if (!newest || time > newestTime) newest = file.path(), newestTime = time;
    }
  }
  return newest;
}

std::vector<std::string> ClaudeCodeSession::survivors() const {
  std::vector<std::string> out;
  for (const auto& [pid, command] : markedProcesses(server_)) out.push_back(std::to_string(pid) + " " + command);
  return out;
}

std::vector<std::string> ClaudeCodeSession::stop() {
  if (stopped_) return {};
  stopped_ = true;
  tmux({"kill-server"});  // the panes' programs get SIGHUP
  // What Claude Code started and left running (shells, hooks) ends by pid.
  waitFor([&] { return markedProcesses(server_).empty(); }, 5s);
  std::vector<std::string> killed;
  for (const auto& [pid, command] : markedProcesses(server_)) {
    killed.push_back(std::to_string(pid) + " " + command);
    ::kill(pid, SIGKILL);
  }
  waitFor([&] { return markedProcesses(server_).empty(); }, 5s);
  return killed;
}

}  // namespace deskwave::testing
