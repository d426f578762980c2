#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace deskwave::testing {

// Writes what the real Claude Code needs in `home` to start straight into its
// prompt, with no dialog in the way: ~/.claude.json with onboarding done,
// `project` trusted and `apiKey` approved, and ~/.claude/settings.json asking
// for permissions at the desk (before any hooks are added to it).
void prepareClaudeHome(const std::filesystem::path& home, const std::filesystem::path& project,
                       const std::string& apiKey);

// Claude Code at the desk: the real CLI in a private tmux server, in `home`
// and `project`, talking to the Messages API at `apiUrl`. The test types with
// send-keys and reads the screen with capture-pane. Every process started in
// the server carries a marker in its environment, by which stop() finds the
// ones that outlive the server.
class ClaudeCodeSession {
 public:
  struct Options {
    std::filesystem::path binary;  // the claude executable
    std::filesystem::path tmux;    // the tmux executable
    std::filesystem::path home;
    std::filesystem::path project;
    std::string apiUrl;
    std::string apiKey;
  };
  explicit ClaudeCodeSession(Options options);
  ~ClaudeCodeSession();
  ClaudeCodeSession(const ClaudeCodeSession&) = delete;
  ClaudeCodeSession& operator=(const ClaudeCodeSession&) = delete;

  // The visible screen, one line per row.
  std::string screen() const;
  // Waits until the screen satisfies `condition`, checking every 100 ms.
  bool waitForScreen(const std::function<bool(const std::string&)>& condition, std::chrono::milliseconds timeout) const;
  // Waits until Claude Code waits for a prompt (no turn running, no dialog open).
  bool waitUntilIdle(std::chrono::milliseconds timeout) const;
  // Types `text` into the prompt and, once it shows, presses Return. False when
  // the text did not show.
  bool submit(const std::string& text) const;
  // Presses one key, named as tmux names it ("Escape", "Enter").
  void press(const std::string& key) const;
  // The session's transcript (the newest under ~/.claude/projects), once written.
  std::optional<std::filesystem::path> transcript() const;

  // Ends the tmux server and every process started in it, by pid; returns a
  // description of those that had to be killed because they outlived it.
  std::vector<std::string> stop();
  // The processes started in the server that still run.
  std::vector<std::string> survivors() const;

 private:
  std::string tmux(const std::vector<std::string>& arguments) const;

  Options options_;
  std::string server_;  // the tmux socket name, also the process marker
  bool stopped_ = false;
};

}  // namespace deskwave::testing
