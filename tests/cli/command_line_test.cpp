// The deskwave command line, run as the real program in a temporary home, with
// the account service and the relay started beside it on loopback. Codes that
// would be mailed are read from the account service's output.

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "cli/cli_process.h"
#include "support/child_process.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kClientId = "deskwaveclitestclient000";

void writeFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

std::string desktopEntry(const std::string& name) {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=/opt/" + name + "/run\n";
}

// A refusal or failure as the command line reports it: one line on standard error.
::testing::AssertionResult oneErrorLine(const CliResult& r) {
  const bool ok = r.err.rfind("deskwave: ", 0) == 0 && r.err.find('\n') == r.err.size() - 1;
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "standard error: \"" << r.err << "\"";
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(accounts.port(), 0) << "deskwave-accounts did not start";
    ASSERT_NE(relay.port(), 0) << "deskwave-relay did not start";
    // Installed applications: two the relay counts as AI tools, one it does not.
    const auto apps = home.path() / ".local" / "share" / "applications";
    writeFile(apps / "cursor.desktop", desktopEntry("Cursor"));
    writeFile(apps / "dev.zed.Zed.desktop", desktopEntry("Zed"));
    writeFile(apps / "org.gnome.Files.desktop", desktopEntry("Files"));
    fs::create_directories(home.path() / "system-share");
  }

  std::map<std::string, std::string> environment() const {
    return {
        // No session bus: the secrets go to the file in the configuration folder.
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (home.path() / "no-bus").string()},
        {"XDG_DATA_DIRS", (home.path() / "system-share").string()},
        {"DESKWAVE_COGNITO_ENDPOINT", "http://127.0.0.1:" + std::to_string(accounts.port()) + "/"},
        {"DESKWAVE_COGNITO_CLIENT_ID", kClientId},
        {"DESKWAVE_RELAY_URL", relayURL()},
    };
  }

  std::string relayURL() const { return "ws://127.0.0.1:" + std::to_string(relay.port()); }

  CliResult run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), DESKWAVE_BINARY);
    CliProcess process(args, environment());
    process.send(input);
    return process.finish();
  }

  // The value `settings get` prints, without its line end; "<absent>" when unset.
  std::string setting(const std::string& key) {
    const auto r = run({"settings", "get", key});
    if (r.status == 1 && r.out.empty()) return "<absent>";
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
  }

  // The next code the service "mailed" to `email`.
  std::string codeFor(const std::string& email) {
    const std::regex line("code for u-[0-9a-f-]+ \\(" + std::regex_replace(email, std::regex("[.+]"), "\\$&") +
                          "\\): ([0-9]{6})");
    while (auto next = accounts.nextLine(30)) {
      std::smatch m;
      if (std::regex_search(*next, m, line)) return m[1];
    }
    ADD_FAILURE() << "no code for " << email << " in the service's output";
    return "000000";
  }

  // `deskwave signup` with piped input: the address, then (once the service has
  // mailed the code) whatever `afterCode` makes of the code.
  CliResult signup(const std::string& typed, const std::string& mailedTo,
                   const std::function<std::string(const std::string& code)>& afterCode) {
    CliProcess process({DESKWAVE_BINARY, "signup"}, environment());
    process.send(typed + "\n");
    process.send(afterCode(codeFor(mailedTo)));
    return process.finish();
  }

  TempHome home;
  ListeningProcess accounts{{DESKWAVE_ACCOUNTS_BINARY, "--listen", "127.0.0.1:0", "--data",
                             (home.path() / "accounts").string(), "--client-id", kClientId}};
  ListeningProcess relay{{DESKWAVE_RELAY_BINARY, "--listen", "127.0.0.1:0"}};
};

TEST_F(CommandLineTest, SignUpLogOutAndLogInAgainstTheAccountService) {
  const std::string email = "zoe.smith@example.com";
  // Choices made on this computer before any account: a new account starts without them.
  ASSERT_EQ(run({"settings", "set", "deskwave.selectedTools", "[\"Cursor\"]", "--type", "list"}).status, 0);
  ASSERT_EQ(run({"settings", "set", "deskwave.keepAwake", "true", "--type", "bool"}).status, 0);
  auto r = signup(" Zoe.Smith+desk@Example.com", email,
                  [](const std::string& code) { return code + "\nCorrect-Horse-7\nCorrect-Horse-7\n"; });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("We emailed a code to " + email + "\n"));
  EXPECT_THAT(r.out, HasSubstr("Signed in as " + email + "\n"));
  EXPECT_THAT(r.out, HasSubstr("AI tools chosen before were cleared"));
  EXPECT_EQ(run({"tools", "list"}).out, "");
  EXPECT_EQ(setting("deskwave.keepAwake"), "false");
  EXPECT_EQ(setting("deskwave.onboardingDone"), "false");

  // The settings hold the account as the bridge reads it; the tokens are in the secrets file.
  EXPECT_EQ(setting("deskwave.auth.username"), email);
  EXPECT_EQ(setting("deskwave.settingsOwner"), email);
  EXPECT_EQ(setting("deskwave.pendingSignup.user"), "<absent>");
  const auto sub = setting("deskwave.auth.sub");
  EXPECT_THAT(sub, ::testing::MatchesRegex("[0-9a-f-]{36}"));
  std::ifstream secretsFile(home.path() / ".config" / "deskwave" / "secrets.json");
  const std::string secrets((std::istreambuf_iterator<char>(secretsFile)), std::istreambuf_iterator<char>());
  EXPECT_THAT(secrets, HasSubstr("deskwave.auth.idToken"));

  r = run({"status"});
  EXPECT_THAT(r.out, HasSubstr("Signed in:   " + email + "\n"));
  EXPECT_THAT(r.out, HasSubstr("Pairing:     account\n"));
  EXPECT_THAT(r.out, Not(HasSubstr(sub))) << "the pairing secret is never printed";

  r = run({"logout"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Signed out " + email + "\n");
  EXPECT_EQ(setting("deskwave.auth.username"), "<absent>");
  EXPECT_EQ(setting("deskwave.auth.sub"), sub) << "signing out keeps the pairing";
  EXPECT_EQ(run({"logout"}).out, "Not signed in\n");

  r = run({"login"}, "zoe.smith@example.com\nWrong-Horse-77\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(oneErrorLine(r));
  EXPECT_EQ(setting("deskwave.auth.username"), "<absent>");

  // The same account again: the local choices stay.
  ASSERT_EQ(run({"settings", "set", "deskwave.selectedTools", "[\"Zed\"]", "--type", "list"}).status, 0);
  r = run({"login", "--email", "ZOE.SMITH@example.com"}, "Correct-Horse-7\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Signed in as " + email + "\n");
  EXPECT_EQ(run({"tools", "list"}).out, "Zed\n");
  EXPECT_THAT(run({"status"}).out, HasSubstr("Signed in:   " + email + "\n"));

  r = run({"login"}, "");
  EXPECT_EQ(r.status, 2) << "no input";
  EXPECT_TRUE(oneErrorLine(r));
}

TEST_F(CommandLineTest, SignUpRefusalsLeaveTheStepsToResume) {
  struct Case {
    std::string email;
    std::function<std::string(const std::string&)> afterCode;
    int status;
    std::string error;
  };
  const auto wrongCode = [](const std::string& code) {
    return std::string(1, code[0] == '9' ? '1' : '9') + code.substr(1) + "\nCorrect-Horse-7\nCorrect-Horse-7\n";
  };
  const std::vector<Case> cases = {
      {"wrong.code@example.com", wrongCode, 1, "deskwave: "},
      {"weak@example.com", [](const std::string& c) { return c + "\nshort-7A\nshort-7A\n"; }, 2,
       "the password needs: At least 12 characters (`deskwave signup --email weak@example.com` continues"},
      {"nosymbol@example.com", [](const std::string& c) { return c + "\nCorrectHorse77\nCorrectHorse77\n"; }, 2,
       "the password needs: A symbol ("},
      {"differ@example.com", [](const std::string& c) { return c + "\nCorrect-Horse-7\nCorrect-Horse-8\n"; }, 2,
       "the two passwords differ ("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.email);
    const auto r = signup(c.email, c.email, c.afterCode);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(oneErrorLine(r));
    EXPECT_THAT(r.err, HasSubstr(c.error));
    EXPECT_THAT(r.out, Not(HasSubstr("Signed in")));
    EXPECT_EQ(setting("deskwave.auth.username"), "<absent>");
  }

  // The last sign-up, whose address was confirmed before its password was
  // refused, is stored: signing up again with that address resumes it.
  auto r = signup("Differ@example.com", "differ@example.com",
                  [](const std::string& code) { return code + "\nCorrect-Horse-7\nCorrect-Horse-7\n"; });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Signed in as differ@example.com\n"));

  // The one before was replaced by it: its confirmed address now has an account
  // with a password nobody chose, and is refused.
  r = run({"signup", "--email", "weak@example.com"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "deskwave: That email already has an account \u2014 sign in instead.\n");
}

TEST_F(CommandLineTest, ToolsAreScannedChosenAddedAndRemoved) {
  auto r = run({"tools", "list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");

  r = run({"tools", "scan"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[ ] Cursor\n[ ] Zed\n");

  r = run({"tools", "select", "nope", "cursor"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(oneErrorLine(r));
  EXPECT_THAT(r.err, HasSubstr("nope"));
  EXPECT_EQ(setting("deskwave.onboardingDone"), "<absent>") << "nothing written";

  r = run({"tools", "select", "cursor", "ZED", "Cursor"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run({"tools", "list"}).out, "Cursor\nZed\n") << "named as listed, each once";
  EXPECT_EQ(setting("deskwave.onboardingDone"), "true");

  // A hand-added application is listed from then on, by its desktop entry's name.
  writeFile(home.path() / "apps" / "mytool.desktop", desktopEntry("My Tool"));
  r = run({"tools", "add", (home.path() / "apps" / "mytool.desktop").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Added My Tool"));
  EXPECT_EQ(setting("deskwave.manualTools"), "[\"My Tool\"]");
  EXPECT_EQ(run({"tools", "scan"}).out, "[x] Cursor\n[x] Zed\n[ ] My Tool\n");
  for (const auto& bad : std::vector<std::string>{"no-such-file.desktop", (home.path() / "apps").string()}) {
    r = run({"tools", "add", bad});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_TRUE(oneErrorLine(r));
  }

  // Removing a detected tool hides it from later scans and takes it out of the selection.
  r = run({"tools", "remove", "zed"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Removed Zed\n");
  EXPECT_EQ(setting("deskwave.removedTools"), "[\"Zed\"]");
  EXPECT_EQ(run({"tools", "list"}).out, "Cursor\n");
  EXPECT_EQ(run({"tools", "scan"}).out, "[x] Cursor\n[ ] My Tool\n");
  r = run({"tools", "remove", "zed"});
  EXPECT_EQ(r.status, 1) << "no longer listed";
  EXPECT_TRUE(oneErrorLine(r));
  // Removing a hand-added one forgets it.
  EXPECT_EQ(run({"tools", "remove", "MY TOOL"}).status, 0);
  EXPECT_EQ(setting("deskwave.manualTools"), "[]");

  // Without the relay: the chosen tools are still listed, and names are taken as typed.
  relay.stop(SIGKILL);
  r = run({"tools", "scan"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[x] Cursor\n");
  EXPECT_THAT(r.err, HasSubstr("the tool scan failed"));
  r = run({"tools", "select", "Some Tool"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run({"tools", "list"}).out, "Some Tool\n");
  EXPECT_EQ(run({"tools", "remove", "some tool"}).status, 0);
  r = run({"tools", "scan"});
  EXPECT_EQ(r.status, 1) << "nothing to list";
  EXPECT_TRUE(oneErrorLine(r));
  EXPECT_THAT(r.err, HasSubstr("the tool scan failed: relay /scan failed"));
}

TEST_F(CommandLineTest, PairSetsAPinThatStatusNeverPrints) {
  for (const auto& bad : std::vector<std::string>{"", " 4711", "4711 ", "47\t11\n", "47\x01" "11", "\xff\xfe"}) {
    const auto r = run({"pair", "--pin", bad});
    EXPECT_EQ(r.status, 2) << "\"" << bad << "\"";
    EXPECT_TRUE(oneErrorLine(r));
  }
  EXPECT_EQ(setting("deskwave.relay.pin"), "<absent>");
  EXPECT_THAT(run({"status"}).out, HasSubstr("Pairing:     none"));

  auto r = run({"pair", "--pin", "Blue Heron 4711"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(setting("deskwave.relay.pin"), "Blue Heron 4711");

  r = run({"status"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find("Local link:")),
            "Signed in:   no\n"
            "Onboarding:  not done\n"
            "AI tools:    none\n"
            "Relay:       " + relayURL() + "\n"
            "Pairing:     PIN\n");
  EXPECT_THAT(r.out, ::testing::ContainsRegex("Local link:  [^ ]+:8765\n$"));
  EXPECT_THAT(r.out, Not(HasSubstr("4711")));

  // An account recorded for pairing wins over the PIN.
  ASSERT_EQ(run({"settings", "set", "deskwave.relay.account", "0f1e2d3c"}).status, 0);
  EXPECT_THAT(run({"status"}).out, HasSubstr("Pairing:     account\n"));
}

TEST_F(CommandLineTest, SettingsAreWrittenAndPrintedByType) {
  struct Case {
    std::string key, type, value, printed;
  };
  const std::vector<Case> cases = {
      {"x.text", "string", "  two words, \u00e9t\u00e9 ", "  two words, \u00e9t\u00e9 "},
      {"x.empty", "string", "", ""},
      {"deskwave.keepAwake", "bool", "true", "true"},
      {"x.flag", "bool", "false", "false"},
      {"deskwave.debug.onboardingStep", "int", "-42", "-42"},
      {"x.big", "int", "9223372036854775807", "9223372036854775807"},
      {"deskwave.selectedTools", "list", "[ \"Cursor\", \"Claude Code\" ]", "[\"Cursor\",\"Claude Code\"]"},
      {"x.none", "list", "[]", "[]"},
      {"deskwave.mac.cursor", "data", "W3siaWQiOjF9XQ==", "W3siaWQiOjF9XQ=="},
      {"x.nothing", "data", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    std::vector<std::string> args = {"settings", "set", c.key, c.value};
    if (c.type != "string") args.insert(args.end(), {"--type", c.type});
    const auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(setting(c.key), c.printed);
  }
  // The program reads them as it reads its own.
  EXPECT_EQ(run({"tools", "list"}).out, "Cursor\nClaude Code\n");

  struct Refusal {
    std::vector<std::string> args;
    std::string error;
  };
  const std::vector<Refusal> refusals = {
      {{"x.flag", "yes", "--type", "bool"}, "invalid bool value \"yes\""},
      {{"x.flag", "1", "--type", "bool"}, "invalid bool value"},
      {{"x.big", "12x", "--type", "int"}, "invalid int value"},
      {{"x.big", " 12", "--type", "int"}, "invalid int value"},
      {{"x.big", "9223372036854775808", "--type", "int"}, "invalid int value"},
      {{"x.big", "", "--type", "int"}, "invalid int value"},
      {{"x.none", "{\"a\":1}", "--type", "list"}, "invalid list value"},
      {{"x.none", "[\"a\", 1]", "--type", "list"}, "invalid list value"},
      {{"x.none", "[\"a\"", "--type", "list"}, "invalid list value"},
      {{"x.nothing", "aGk", "--type", "data"}, "invalid data value"},
      {{"x.nothing", "a Gk=", "--type", "data"}, "invalid data value"},
      {{"x.text", "1.5", "--type", "float"}, "--type"},
      {{"deskwave.keepAwake", "false"}, "deskwave.keepAwake holds a bool value (use --type bool)"},
      {{"deskwave.selectedTools", "Cursor", "--type", "string"}, "use --type list"},
      {{"", "v"}, "the key cannot be empty"},
      {{"x.text"}, "value"},
  };
  for (const auto& refusal : refusals) {
    std::vector<std::string> args = {"settings", "set"};
    args.insert(args.end(), refusal.args.begin(), refusal.args.end());
    const auto r = run(args);
    SCOPED_TRACE(r.err);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(oneErrorLine(r));
    EXPECT_THAT(r.err, HasSubstr(refusal.error));
  }
  // Nothing refused was written: every value is as set before.
  for (const auto& c : cases) EXPECT_EQ(setting(c.key), c.printed) << c.key;

  auto r = run({"settings", "remove", "x.text"});
  EXPECT_EQ(r.status, 0);
  r = run({"settings", "get", "x.text"});
  EXPECT_EQ(r.status, 1) << "absent";
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(CommandLineTest, EveryCommandHasHelpAndRefusesBadUsage) {
  const std::vector<std::vector<std::string>> commands = {
      {},           {"login"},          {"signup"},          {"logout"},          {"tools"},
      {"tools", "list"}, {"tools", "scan"}, {"tools", "select"}, {"tools", "add"}, {"tools", "remove"},
      {"pair"},     {"status"},         {"settings"},        {"settings", "get"}, {"settings", "set"},
      {"settings", "remove"}};
  for (auto args : commands) {
    args.push_back("--help");
    const auto r = run(args);
    EXPECT_EQ(r.status, 0) << args.front();
    EXPECT_THAT(r.out, HasSubstr("Usage:"));
  }
  const std::vector<std::vector<std::string>> bad = {
      {"nonsense"}, {"tools"}, {"tools", "select"}, {"tools", "frobnicate"}, {"pair"}, {"settings", "get"},
      {"status", "extra"}, {"login", "--bogus"}};
  for (const auto& args : bad) {
    const auto r = run(args);
    EXPECT_NE(r.status, 0) << args.front();
    EXPECT_TRUE(oneErrorLine(r));
  }
}

}  // namespace
}  // namespace deskwave::testing
