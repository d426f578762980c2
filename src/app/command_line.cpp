#include "app/command_line.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <iostream>

#include "app/cli_commands.h"
#include "platform/sqlite_settings_store.h"

namespace deskwave {

// What the command line parsed into, and the command it chose.
struct CommandLine::Parsed {
  std::function<int()> chosen;
  std::optional<std::string> email;
  std::string pin;
  std::vector<std::string> names;
  std::string path;
  std::string name;
  std::string key;
  std::string value;
  std::string type = "string";
};

CommandLine::CommandLine() : parsed_(std::make_unique<Parsed>()) {}
CommandLine::~CommandLine() = default;

std::unique_ptr<CommandLine> CommandLine::addTo(CLI::App& app) {
  std::unique_ptr<CommandLine> self(new CommandLine());
  Parsed& p = *self->parsed_;
  const auto choose = [&p](CLI::App* command, std::function<int()> run) {
    command->callback([&p, run = std::move(run)] { p.chosen = run; });
  };

  app.require_subcommand(0, 1);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "deskwave: " + std::string(e.what()) + " (see --help)\n";
  });

  auto* login = app.add_subcommand("login", "Sign in to your Deskwave account (asks for the e-mail and password)");
  login->add_option("--email", p.email, "The account's e-mail address; asked for when not given");
  choose(login, [&p] { return cli::login(p.email); });

  auto* signup = app.add_subcommand(
      "signup", "Create a Deskwave account: e-mail, the code mailed to it, then the password (each asked for)");
  signup->add_option("--email", p.email, "The e-mail address; asked for when not given");
  choose(signup, [&p] { return cli::signup(p.email); });

  auto* logout = app.add_subcommand("logout", "Sign out of the Deskwave account on this computer");
  choose(logout, [] { return cli::logout(); });

  auto* tools = app.add_subcommand("tools", "The AI tools the phone can address");
  tools->require_subcommand(1);
  choose(tools->add_subcommand("list", "Print the chosen AI tools, one per line"), [] { return cli::toolsList(); });
  choose(tools->add_subcommand("scan", "Find the installed AI tools; [x] marks the chosen ones"),
         [] { return cli::toolsScan(); });
  auto* select = tools->add_subcommand("select", "Choose exactly these AI tools (finishes onboarding)");
  select->add_option("names", p.names, "Tool names as `tools scan` lists them (letter case does not matter)")
      ->required();
  choose(select, [&p] { return cli::toolsSelect(p.names); });
  auto* add = tools->add_subcommand("add", "Add an application by hand (a .desktop file, an AppImage or a program)");
  add->add_option("path", p.path, "The application file")->required();
  choose(add, [&p] { return cli::toolsAdd(p.path); });
  auto* remove = tools->add_subcommand("remove", "Take a tool off the list (a detected one stays hidden)");
  remove->add_option("name", p.name, "The tool's name as `tools scan` lists it")->required();
  choose(remove, [&p] { return cli::toolsRemove(p.name); });

  auto* pair = app.add_subcommand("pair", "Set the pairing PIN, used for the relay when no account is signed in");
  pair->add_option("--pin", p.pin, "The PIN the phone uses, exactly as typed there")->required();
  choose(pair, [&p] { return cli::pair(p.pin); });

  auto* status = app.add_subcommand("status", "Show the account, onboarding, AI tools, relay and local address");
  choose(status, [] { return cli::status(); });

  auto* settings = app.add_subcommand("settings", "Read and write the program's settings (for support)");
  settings->require_subcommand(1);
  auto* get = settings->add_subcommand("get", "Print a setting; exits with 1 when it is not set");
  get->add_option("key", p.key, "The setting's key")->required();
  choose(get, [&p] { return cli::settingsGet(p.key); });
  auto* set = settings->add_subcommand("set", "Write a setting");
  set->add_option("key", p.key, "The setting's key")->required();
  set->add_option("value", p.value,
                  "The value: text; true or false; a decimal integer; a JSON array of strings; standard Base64")
      ->required();
  set->add_option("--type", p.type, "The value's type")
      ->check(CLI::IsMember({"string", "bool", "int", "list", "data"}))
      ->capture_default_str();
  choose(set, [&p] { return cli::settingsSet(p.key, p.value, p.type); });
  auto* unset = settings->add_subcommand("remove", "Remove a setting");
  unset->add_option("key", p.key, "The setting's key")->required();
  choose(unset, [&p] { return cli::settingsRemove(p.key); });

  auto* hook = app.add_subcommand(
      "hook", "Run by Claude Code as its hook: reports the event on standard input to Deskwave (always exits 0)");
  hook->add_option("event", p.name,
                   "UserPromptSubmit, PreToolUse, PostToolUse, Stop or PermissionRequest")
      ->required();
  choose(hook, [&p] { return cli::hook(p.name); });
  auto* hooks = app.add_subcommand("hooks", "Deskwave's hooks in Claude Code's settings (~/.claude/settings.json)");
  hooks->require_subcommand(1);
  choose(hooks->add_subcommand("install", "Add Deskwave's hooks, keeping every other setting (a backup is kept)"),
         [] { return cli::hooksInstall(); });
  choose(hooks->add_subcommand("uninstall", "Remove exactly Deskwave's hooks"), [] { return cli::hooksUninstall(); });
  choose(hooks->add_subcommand("status", "Show for each event whether Deskwave's hook is installed"),
         [] { return cli::hooksStatus(); });

  return self;
}

std::optional<int> CommandLine::run() {
  if (!parsed_->chosen) return std::nullopt;
  try {
    const int status = parsed_->chosen();
    return status == cli::kDone && cli::settingsFailed() ? cli::kFailed : status;
  } catch (const cli::Failure& failure) {
    if (!failure.message.empty()) std::cerr << "deskwave: " << failure.message << std::endl;
    return failure.status;
  } catch (const std::exception& e) {
    std::cerr << "deskwave: " << e.what() << std::endl;
    return cli::kFailed;
  }
}

namespace cli {

namespace {
std::atomic<bool> settingsTrouble{false};
}  // namespace

std::shared_ptr<SettingsStore> openProgramSettings(const Paths& paths) {
  // Every read or write the store could not do is told, and fails the command.
  std::shared_ptr<SettingsStore> settings = SqliteSettingsStore::open(paths.settingsFile(), [](const std::string& line) {
    settingsTrouble = true;
    std::cerr << "deskwave: " << line << std::endl;
  });
  if (!settings) fail(kFailed, "");
  return settings;
}

bool settingsFailed() { return settingsTrouble; }

MainLoop::MainLoop() = default;

void MainLoop::runUntilDone(const std::function<void(Done done)>& start) {
  bool finished = false;
  runtime().main->post([&] { start([&finished] { finished = true; }); });
  auto& context = asio_.mainContext();
  // The loop keeps work (a guard) for its whole life, so run_one waits for the next handler.
  while (!finished && !context.stopped()) context.run_one();
}

void say(const std::string& line) { std::cout << line << std::endl; }

}  // namespace cli
}  // namespace deskwave
