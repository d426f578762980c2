#include "system/desktop_under_test.h"

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/sqlite_settings_store.h"
#include "support/raw_http.h"

namespace deskwave::testing {
namespace {

using Json = nlohmann::json;

std::unique_ptr<SqliteSettingsStore> openSettings(const TempHome& home) {
  return SqliteSettingsStore::open(home.paths().settingsFile(), [](const std::string&) {});
}

bool healthAnswers() {
  return exchange(8765, get("/health")).find("\"paused\"") != std::string::npos;
}

}  // namespace

DesktopUnderTest::DesktopUnderTest(TempHome& home, Options options) : home_(home) {
  seedOnboardedHome(home.paths());
  std::map<std::string, std::string> environment = options.environment;
  // Nothing answers on these: no account service, no relay unless one is given.
  environment["DESKWAVE_COGNITO_ENDPOINT"] = "http://127.0.0.1:9/";
  environment["DESKWAVE_RELAY_URL"] = options.relayUrl.value_or("ws://127.0.0.1:9/");
  for (const auto& [name, value] : environment) {
    ::setenv(name.c_str(), value.c_str(), 1);
    setEnvironment_.push_back(name);
  }

  logFile_ = home.path() / "deskwave.log";
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >>'" + logFile_.string() + "' 2>&1",
                                   DESKWAVE_BINARY, "--headless"};
  if (options.paused) argv.push_back("--paused");
  process_ = std::make_unique<ChildProcess>(argv);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(ready_ = healthAnswers()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

DesktopUnderTest::~DesktopUnderTest() {
  process_.reset();  // SIGTERM, then reaped
  for (const auto& name : setEnvironment_) ::unsetenv(name.c_str());
}

std::string DesktopUnderTest::log() const {
  // The debug log is written line by line; the program's own output may still
  // sit in its buffer.
  std::ostringstream text;
  text << "\n--- debug log ---\n" << std::ifstream(home_.paths().debugLogFile()).rdbuf();
  text << "\n--- output ---\n" << std::ifstream(logFile_).rdbuf();
  return text.str();
}

std::optional<std::string> DesktopUnderTest::stringSetting(const std::string& key) const {
  return openSettings(home_)->getString(key);
}

bool DesktopUnderTest::hasSetting(const std::string& key) const { return openSettings(home_)->value(key).has_value(); }

CliResult phone(const std::vector<std::string>& arguments, double seconds) { return startPhone(arguments)->finish(seconds); }

std::unique_ptr<CliProcess> startPhone(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {DESKWAVE_PHONE_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return std::make_unique<CliProcess>(argv, std::map<std::string, std::string>{});
}

std::vector<std::string> local(std::vector<std::string> command) {
  command.insert(command.begin(), {"--local", "127.0.0.1:8765"});
  return command;
}

std::vector<std::string> viaRelay(const std::string& url, std::vector<std::string> command) {
  command.insert(command.begin(), {"--relay", url, "--secret", kAccountId});
  return command;
}

ClaudeTranscript::ClaudeTranscript(const std::filesystem::path& home) {
  const auto folder = home / ".claude" / "projects" / "-work-demo";
  std::filesystem::create_directories(folder);
  file_ = folder / "7a4e2c10-1b9d-4f3a-8e6c-5d2b0a9f1e37.jsonl";
  std::ofstream(file_, std::ios::app).flush();
}

void ClaudeTranscript::userPrompt(const std::string& text) {
  append(Json{{"type", "user"}, {"timestamp", claudeTimestampNow()}, {"message", {{"role", "user"}, {"content", text}}}}.dump());
}

void ClaudeTranscript::assistantReply(const std::string& text) {
  append(Json{{"type", "assistant"},
              {"timestamp", claudeTimestampNow()},
              {"message",
               {{"role", "assistant"},
                {"content", Json::array({{{"type", "text"}, {"text", text}}})},
                {"stop_reason", "end_turn"}}}}
             .dump());
}

void ClaudeTranscript::askUserQuestion(const std::string& question,
                                       const std::vector<std::pair<std::string, std::string>>& options) {
  auto list = Json::array();
  for (const auto& [label, description] : options) list.push_back({{"label", label}, {"description", description}});
  const Json use = {{"type", "tool_use"},
                    {"id", "toolu_01"},
                    {"name", "AskUserQuestion"},
                    {"input", {{"questions", Json::array({{{"question", question}, {"options", list}}})}}}};
  append(Json{{"type", "assistant"},
              {"timestamp", claudeTimestampNow()},
              {"message", {{"role", "assistant"}, {"content", Json::array({use})}, {"stop_reason", "tool_use"}}}}
             .dump());
}

void ClaudeTranscript::append(const std::string& line) {
  std::ofstream out(file_, std::ios::app);
  out << line << "\n";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

}  // namespace deskwave::testing
