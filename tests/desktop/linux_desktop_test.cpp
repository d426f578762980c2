#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "capture/ax_response_reader.h"
#include "desktop/fixture_app.h"
#include "inject/accessibility_actions.h"
#include "inject/app_lookup.h"
#include "inject/cursor_paster.h"
#include "inject/standard_watcher.h"
#include "platform/linux/linux_desktop.h"
#include "platform/virtual_time.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The text of a "PROMPT …" or "REPLY …" line of the fixture.
std::string payload(const std::optional<std::string>& line) {
  if (!line) return "<no line>";
  return nlohmann::json::parse(line->substr(line->find(' ') + 1)).get<std::string>();
}

// The real backend driving the fixture chat window, with the debug log kept.
class LinuxDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inTestSession()) GTEST_SKIP() << "needs the private desktop of tests/desktop/run_in_session.sh";
    ASSERT_NE(fixture.pid(), 0) << "the fixture chat window did not start";
    desktop = openLinuxDesktop([this](const std::string& line) { logged.push_back(line); });
    ASSERT_EQ(dynamic_cast<NullDesktop*>(desktop.get()), nullptr) << (logged.empty() ? "" : logged.back());
    ASSERT_TRUE(waitUntil([&] { return desktop->applicationElement(fixture.pid()) != nullptr; }, 10s));
  }

  std::optional<RunningApplication> fixtureApp() {
    for (const auto& app : desktop->runningApplications())
      if (app.pid == fixture.pid()) return app;
    return std::nullopt;
  }

  TempHome home;
  FixtureApp fixture;
  std::vector<std::string> logged;
  std::shared_ptr<Desktop> desktop;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::shared_ptr<WatcherDebugLog> log =
      WatcherDebugLog::create(home.paths().debugLogFile(), runtime.main, runtime.clock, [](std::string_view) {});
};

TEST_F(LinuxDesktopTest, FindsTheWindowTypesIntoItAndSubmits) {
  EXPECT_TRUE(desktop->isTrusted());
  const auto app = fixtureApp();
  ASSERT_TRUE(app) << "listed among the running applications";
  EXPECT_TRUE(app->regular);
  const auto byName = runningApp(desktop->runningApplications(), "fixture");
  ASSERT_TRUE(byName);
  EXPECT_EQ(byName->pid, fixture.pid());
  desktop->activate(*app);

  AccessibilityActions actions(desktop, log);
  actions.focusComposer(fixture.pid());
  ASSERT_TRUE(actions.composer());

  const std::string prompt = "explain the failing test, please";
  desktop->clearClipboard();
  desktop->setClipboardText(prompt);
  EXPECT_EQ(desktop->clipboardText(), prompt);
  desktop->postKey(Key::A, true);
  desktop->postKey(Key::V, true);
  ASSERT_TRUE(waitUntil([&] { return actions.composerText() == prompt; }, 5s)) << actions.composerText();

  const auto before = fixture.lines().size();
  desktop->postKey(Key::Return, false);
  EXPECT_EQ(payload(fixture.waitForLine("PROMPT", 5s, before)), prompt);
  EXPECT_TRUE(waitUntil([&] { return actions.composerText().empty(); }, 5s));

  // The same through the send button's action.
  desktop->postKey(Key::V, true);
  ASSERT_TRUE(waitUntil([&] { return actions.composerText() == prompt; }, 5s));
  const auto beforeSend = fixture.lines().size();
  actions.pressSendButton(fixture.pid());
  EXPECT_EQ(payload(fixture.waitForLine("PROMPT", 5s, beforeSend)), prompt);
}

TEST_F(LinuxDesktopTest, TheWindowReaderReturnsTheStreamedReplyOnceStable) {
  AccessibilityActions actions(desktop, log);
  desktop->activate(*fixtureApp());
  actions.focusComposer(fixture.pid());
  const std::string prompt = "summarise the build log";
  desktop->setClipboardText(prompt);
  desktop->postKey(Key::V, true);
  ASSERT_TRUE(waitUntil([&] { return actions.composerText() == prompt; }, 5s));
  desktop->postKey(Key::Return, false);
  const auto reply = payload(fixture.waitForLine("REPLY", 15s));

  AXResponseReader reader(desktop, fixture.pid(), prompt);
  std::optional<std::string> stable;
  for (int poll = 0; poll < 5 && !stable; ++poll) stable = reader.pollStableReply();
  EXPECT_EQ(stable, reply) << reader.lastStatus();
}

TEST_F(LinuxDesktopTest, APromptTypedByThePastePipelineComesBackAsTheReply) {
  auto paster = CursorPaster::create(runtime, desktop, log, standardWatcherFactory(runtime, desktop, home.path(), log));
  std::vector<std::string> replies;
  paster->onResponse = [&](const std::string& target, const std::string& text) { replies.push_back(target + "|" + text); };
  const std::string prompt = "why does the parser fail";

  paster->pasteGeneric(prompt, "fixture");
  // The pipeline's delays pass in virtual time; between its steps the real
  // window gets the time it needs to take the keystrokes.
  time->advance(Seconds(0.75));
  auto& actions = paster->actions();
  ASSERT_TRUE(waitUntil([&] { return actions.composerText() == prompt; }, 5s)) << actions.composerText();
  time->advance(Seconds(0.35));
  EXPECT_EQ(payload(fixture.waitForLine("PROMPT", 5s)), prompt);
  const auto reply = payload(fixture.waitForLine("REPLY", 15s));
  time->advance(Seconds(0.7 + 0.6));
  EXPECT_EQ(fixture.lines().size(), 3u) << "no second submit: READY, PROMPT, REPLY";
  time->advance(Seconds(30));
  EXPECT_THAT(replies, ElementsAre("fixture|" + reply));
}

TEST(LinuxDesktopOpenTest, WithoutADisplayItIsTheNullDesktopAndSaysWhy) {
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  std::vector<std::string> logged;
  auto desktop = openLinuxDesktop([&](const std::string& line) { logged.push_back(line); });
  if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
  EXPECT_NE(dynamic_cast<NullDesktop*>(desktop.get()), nullptr);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_THAT(logged[0], ::testing::HasSubstr("prompts cannot be typed into applications"));
}

}  // namespace
}  // namespace deskwave::testing
