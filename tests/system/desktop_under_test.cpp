#include "system/desktop_under_test.h"

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/settings_keys.h"
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

std::string isoNow() {
  // Milliseconds, as Claude Code writes them, and always later than the last call.
  static std::chrono::sys_time<std::chrono::milliseconds> last;
  auto now = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
  if (now <= last) now = last + std::chrono::milliseconds(1);
  last = now;
  const auto seconds = std::chrono::floor<std::chrono::seconds>(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now - seconds).count();
  const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
  return text;
}

}  // namespace

DesktopUnderTest::DesktopUnderTest(TempHome& home, Options options) : home_(home) {
  {
    auto settings = openSettings(home);
    settings->setString(keys::authUsername, "u-" + kAccountId);
    settings->setString(keys::authSub, kAccountId);
    settings->setBool(keys::onboardingDone, true);
    settings->setStringList(keys::selectedTools, {"fixture"});
    settings->flush();
  }
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
  append(Json{{"type", "user"}, {"timestamp", isoNow()}, {"message", {{"role", "user"}, {"content", text}}}}.dump());
}

void ClaudeTranscript::assistantReply(const std::string& text) {
  append(Json{{"type", "assistant"},
              {"timestamp", isoNow()},
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
              {"timestamp", isoNow()},
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
