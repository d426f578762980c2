#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_process.h"
#include "support/child_process.h"
#include "support/onboarded_home.h"
#include "support/temp_home.h"

namespace deskwave::testing {

// A whole Deskwave desktop for one test: a temporary home set up as after
// onboarding (signed in, the fixture chat chosen as the only tool) and the
// real `deskwave --headless` running in it, its output in a log file.
class DesktopUnderTest {
 public:
  struct Options {
    std::optional<std::string> relayUrl;  // else a closed loopback port
    bool paused = false;
    std::map<std::string, std::string> environment;
  };
  explicit DesktopUnderTest(TempHome& home, Options options);
  ~DesktopUnderTest();
  DesktopUnderTest(const DesktopUnderTest&) = delete;
  DesktopUnderTest& operator=(const DesktopUnderTest&) = delete;

  // True once the local link answers "/health" (within 20 s).
  bool ready() const { return ready_; }
  std::string log() const;
  // A setting as the running desktop stored it, read from its settings file.
  std::optional<std::string> stringSetting(const std::string& key) const;
  bool hasSetting(const std::string& key) const;

 private:
  TempHome& home_;
  std::filesystem::path logFile_;
  std::unique_ptr<ChildProcess> process_;
  std::vector<std::string> setEnvironment_;
  bool ready_ = false;
};

// deskwave-phone run to completion with `arguments` (the link options first).
CliResult phone(const std::vector<std::string>& arguments, double seconds = 60);
// The same, started now and collected later with finish().
std::unique_ptr<CliProcess> startPhone(const std::vector<std::string>& arguments);
// The local link's options for deskwave-phone.
std::vector<std::string> local(std::vector<std::string> command);
// The relay's options for deskwave-phone.
std::vector<std::string> viaRelay(const std::string& url, std::vector<std::string> command);

// A Claude Code session transcript under the home's ~/.claude/projects, to
// which the test appends turns as Claude Code would.
class ClaudeTranscript {
 public:
  explicit ClaudeTranscript(const std::filesystem::path& home);
  void userPrompt(const std::string& text);
  void assistantReply(const std::string& text);
  void askUserQuestion(const std::string& question, const std::vector<std::pair<std::string, std::string>>& options);

 private:
  void append(const std::string& line);
  std::filesystem::path file_;
};

// JSON lines of a command's output, each parsed.
std::vector<std::string> lines(const std::string& text);

}  // namespace deskwave::testing
