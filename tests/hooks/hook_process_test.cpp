// The real `deskwave hook …` and `deskwave hooks …` processes.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/claude_hook.h"
#include "app/hook_settings_file.h"
#include "cli/cli_process.h"
#include "local/local_server.h"
#include "platform/asio_runtime.h"
#include "platform/file_info.h"
#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
namespace fs = std::filesystem;

constexpr const char* kBashRequest =
    R"({"session_id":"s","cwd":"/src","hook_event_name":"PermissionRequest","tool_name":"Bash",)"
    R"("tool_input":{"command":"rm -rf build"},"permission_suggestions":[]})";

CliResult run(const std::vector<std::string>& args, const std::string& input = "",
              const std::map<std::string, std::string>& environment = {}) {
  std::vector<std::string> argv{DESKWAVE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  CliProcess process(argv, environment);
  process.send(input);
  return process.finish(30);
}

// A loopback port that nothing listens on (taken from the kernel, then let go).
std::uint16_t closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string urlFor(std::uint16_t port) { return "http://127.0.0.1:" + std::to_string(port); }

class HooksCommandTest : public ::testing::Test {
 protected:
  void write(const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  TempHome home;
  fs::path file = claudeSettingsFile(home.path());
  std::string program = fs::canonical(DESKWAVE_BINARY).string();
};

TEST_F(HooksCommandTest, InstallKeepsOtherHooksAndUninstallRestoresTheRestExactly) {
  const std::string original =
      R"({"model":"opus","hooks":{"PreToolUse":[{"matcher":"Bash","hooks":[{"type":"command","command":"/usr/local/bin/check.sh"}]}],)"
      R"("Notification":[{"hooks":[{"type":"command","command":"notify-send 'Claude needs you'"}]}]},"permissions":{"allow":[]}})";
  write(original);

  auto installed = run({"hooks", "install"});
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_THAT(installed.out, HasSubstr("Installed"));
  EXPECT_EQ(readWholeFile(claudeSettingsBackup(file)), original) << "the backup is the file as it was";
  const auto withHooks = OrderedJson::parse(*readWholeFile(file));
  EXPECT_EQ(withHooks["hooks"]["PreToolUse"][0]["hooks"][0]["command"], "/usr/local/bin/check.sh");
  EXPECT_EQ(withHooks["hooks"]["Notification"], OrderedJson::parse(original)["hooks"]["Notification"]);
  for (auto event : kHookEvents) {
    const auto& group = withHooks["hooks"][std::string(hookEventName(event))].back();
    EXPECT_EQ(group["hooks"][0]["command"], deskwaveHookCommand(program, event));
  }

  auto status = run({"hooks", "status"});
  EXPECT_EQ(status.status, 0);
  for (auto event : kHookEvents)
    EXPECT_THAT(status.out, HasSubstr(std::string(hookEventName(event))));
  EXPECT_THAT(status.out, Not(HasSubstr("not installed")));

  const auto installedText = *readWholeFile(file);
  auto again = run({"hooks", "install"});
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.out, HasSubstr("already installed"));
  EXPECT_EQ(*readWholeFile(file), installedText);

  auto removed = run({"hooks", "uninstall"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(OrderedJson::parse(*readWholeFile(file)).dump(), OrderedJson::parse(original).dump());

  status = run({"hooks", "status"});
  EXPECT_EQ(status.status, 0);
  for (auto event : kHookEvents)
    EXPECT_THAT(status.out, HasSubstr(std::string(hookEventName(event))));
  EXPECT_THAT(status.out, Not(HasSubstr("installed:")));
}

TEST_F(HooksCommandTest, InstallWithoutSettingsCreatesThemAndStatusWorksWithoutAFile) {
  auto status = run({"hooks", "status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_THAT(status.out, HasSubstr("no such file"));
  ASSERT_EQ(run({"hooks", "install"}).status, 0);
  EXPECT_EQ(deskwaveHookCommands(OrderedJson::parse(*readWholeFile(file))).at(HookEvent::stop),
            deskwaveHookCommand(program, HookEvent::stop));
  EXPECT_FALSE(fs::exists(claudeSettingsBackup(file)));
}

TEST_F(HooksCommandTest, SettingsThatAreNotJsonAreRefusedAndLeftAlone) {
  const std::string broken = "{\"model\": \"opus\",\n";
  write(broken);
  for (const std::string command : {"install", "uninstall", "status"}) {
    auto result = run({"hooks", command});
    EXPECT_NE(result.status, 0) << command;
    EXPECT_THAT(result.err, HasSubstr("not valid JSON")) << command;
  }
  EXPECT_EQ(*readWholeFile(file), broken);
  EXPECT_FALSE(fs::exists(claudeSettingsBackup(file)));
}

TEST(HookProcess, WithoutABridgeItExitsZeroPrintingNothing) {
  const auto url = urlFor(closedPort());
  for (const auto& [event, input] : std::vector<std::pair<std::string, std::string>>{
           {"UserPromptSubmit", R"({"prompt":"hi"})"}, {"Stop", "{}"}, {"PermissionRequest", kBashRequest}}) {
    auto result = run({"hook", event}, input, {{"DESKWAVE_HOOK_URL", url}});
    EXPECT_EQ(result.status, 0) << event;
    EXPECT_EQ(result.out, "") << event;
    EXPECT_EQ(result.err, "") << event;
  }
}

TEST(HookProcess, OnTheDefaultAddressWithNothingListeningItExitsZeroPrintingNothing) {
  // A private network namespace: its own loopback, where 8765 is surely free.
  CliProcess process({"/usr/bin/unshare", "--net", "--map-root-user", "/bin/sh", "-c",
                      "PATH=$PATH:/usr/sbin:/sbin ip link set lo up && exec \"$0\" hook PermissionRequest",
                      DESKWAVE_BINARY},
                     {{"DESKWAVE_HOOK_URL", ""}});
  process.send(kBashRequest);
  auto result = process.finish(30);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(HookProcess, BadInputOrEventExitsZeroWithAMessage) {
  const std::map<std::string, std::string> environment{{"DESKWAVE_HOOK_URL", urlFor(closedPort())}};
  auto garbage = run({"hook", "PreToolUse"}, "garbage", environment);
  EXPECT_EQ(garbage.status, 0);
  EXPECT_EQ(garbage.out, "");
  EXPECT_THAT(garbage.err, HasSubstr("not a JSON object"));
  auto unknown = run({"hook", "Elsewhere"}, "{}", environment);
  EXPECT_EQ(unknown.status, 0);
  EXPECT_EQ(unknown.out, "");
  EXPECT_THAT(unknown.err, HasSubstr("unknown event"));
}

// The hook against the real local server on an ephemeral loopback port. Its
// sockets run on a real pool, its clock is virtual (it is only read here).
class HookAgainstServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = LocalServer::create(time->runtime(), io.pool(), nullptr, {0, true, 30.0, 256}, [](const std::string&) {});
    server->start();
    ASSERT_TRUE(server->port());
    environment = {{"DESKWAVE_HOOK_URL", urlFor(*server->port())}};
  }
  CliResult hook(const std::string& event, const std::string& input) { return run({"hook", event}, input, environment); }
  std::vector<std::string> activities() const {
    std::vector<std::string> out;
    for (const auto& turn : server->activity().snapshot()) out.push_back(turn.tab + ": " + turn.activity);
    return out;
  }

  AsioRuntime io{2};
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<LocalServer> server;
  std::map<std::string, std::string> environment;
};

TEST_F(HookAgainstServerTest, ATurnShowsOnThePhoneWhileClaudeWorks) {
  EXPECT_EQ(hook("UserPromptSubmit", R"({"prompt":"fix the build"})").status, 0);
  EXPECT_THAT(activities(), ElementsAre("Claude: Thinking"));
  EXPECT_EQ(hook("PreToolUse", R"({"tool_name":"Bash","tool_input":{"command":"make"}})").out, "");
  EXPECT_THAT(activities(), ElementsAre("Claude: Running command"));
  hook("PostToolUse", R"({"tool_name":"Bash","tool_input":{"command":"make"}})");
  EXPECT_THAT(activities(), ElementsAre("Claude: Thinking"));
  auto stop = hook("Stop", R"({"stop_hook_active":false})");
  EXPECT_EQ(stop.status, 0);
  EXPECT_EQ(stop.out, "");
  EXPECT_EQ(stop.err, "");
  EXPECT_THAT(activities(), IsEmpty());
}

TEST_F(HookAgainstServerTest, ThePhonesAllowReachesClaudeCode) {
  CliProcess process({DESKWAVE_BINARY, "hook", "PermissionRequest"}, environment);
  process.send(kBashRequest);
  CliResult result;
  std::thread waiter([&] { result = process.finish(30); });

  // Waits (bounded) for the request to be filed, then answers it as the phone would.
  std::vector<PermissionEntry> open;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (open.empty() && std::chrono::steady_clock::now() < deadline) {
    open = server->permissions().list(time->clock()->now() + std::chrono::seconds(10));
    if (open.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!open.empty()) server->permissions().answer(open.front().id, "allow");
  waiter.join();

  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open.front().tool, "Bash");
  EXPECT_EQ(open.front().detail, "rm -rf build");
  EXPECT_EQ(open.front().target, "Claude");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, permissionDecisionOutput(true));
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace deskwave::testing
