#include <gmock/gmock.h>

#include "app/controller_fixture.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(OnboardingStateTest, AStoredToolListCountsAsFinishedOnboarding) {
  auto settings = std::make_shared<MemorySettingsStore>();
  EXPECT_FALSE(OnboardingState(settings).done.get());
  settings->setStringList(keys::selectedTools, {"Cursor"});
  OnboardingState state(settings);
  EXPECT_TRUE(state.done.get());
  EXPECT_THAT(state.selectedTools.get(), ElementsAre("Cursor"));
}

TEST(OnboardingStateTest, CompleteAndResetPersistAndFlush) {
  auto settings = std::make_shared<MemorySettingsStore>();
  OnboardingState state(settings);
  state.complete({"Claude", "Zed"});
  EXPECT_TRUE(state.done.get());
  EXPECT_EQ(settings->flushCount(), 1);
  OnboardingState reloaded(settings);
  EXPECT_TRUE(reloaded.done.get());
  EXPECT_THAT(reloaded.selectedTools.get(), ElementsAre("Claude", "Zed"));

  reloaded.reset();
  EXPECT_EQ(settings->flushCount(), 2);
  EXPECT_FALSE(settings->contains(keys::selectedTools));
  ASSERT_TRUE(settings->contains(keys::onboardingDone));
  OnboardingState afterReset(settings);
  EXPECT_FALSE(afterReset.done.get());
  EXPECT_THAT(afterReset.selectedTools.get(), IsEmpty());
}

using LifecycleTest = ControllerTest;

TEST_F(LifecycleTest, KeepAwakeStartsFromTheStoredSwitchAndHoldsOneInhibition) {
  settings->setBool(keys::keepAwake, true);
  settings->setString(keys::relayPin, "1234");
  make();
  EXPECT_TRUE(controller->keepAwake.get());
  EXPECT_THAT(inhibitor->held, IsEmpty()) << "nothing is taken before launch";
  controller->launch();
  controller->setKeepAwake(true);
  controller->applyKeepAwake();
  EXPECT_EQ(inhibitor->held.size(), 1u);
  EXPECT_THAT(inhibitor->reasons,
              ElementsAre("Deskwave keeping the Mac awake so your phone can always reach it"));
  EXPECT_THAT(logged(), ElementsAre("\u2615\uFE0F Keep-awake ON"));

  controller->setKeepAwake(false);
  controller->setKeepAwake(false);
  EXPECT_THAT(inhibitor->held, IsEmpty());
  EXPECT_FALSE(settings->getBool(keys::keepAwake));
  EXPECT_THAT(logged(), ElementsAre("\u2615\uFE0F Keep-awake ON", "\U0001F4A4 Keep-awake OFF"));
}

TEST_F(LifecycleTest, WipeForNewAccountResetsLocalChoicesButNotHistoryOrBridge) {
  settings->setBool(keys::keepAwake, true);
  settings->setStringList(keys::manualTools, {"Zed"});
  settings->setStringList(keys::removedTools, {"Codex"});
  make()->launch();
  controller->store().insert(Message::make("kept", runtime.clock->now(), false), "cursor");
  echoed.clear();

  ASSERT_TRUE(auth->onAccountChange) << "launch installs the account-change reset";
  auth->onAccountChange();

  EXPECT_FALSE(controller->onboarding().done.get());
  EXPECT_FALSE(settings->contains(keys::selectedTools));
  EXPECT_FALSE(settings->contains(keys::manualTools));
  EXPECT_FALSE(settings->contains(keys::removedTools));
  EXPECT_FALSE(controller->keepAwake.get());
  EXPECT_FALSE(settings->getBool(keys::keepAwake));
  EXPECT_THAT(inhibitor->held, IsEmpty());
  EXPECT_THAT(logged(), ElementsAre("\U0001F4A4 Keep-awake OFF",
                                    "\U0001F9F9 New account \u2192 wiped local onboarding / AI tools / keep-awake"));
  EXPECT_TRUE(controller->started.get()) << "the running bridge is not stopped";
  EXPECT_TRUE(settings->contains("deskwave.mac.cursor"));
}

TEST_F(LifecycleTest, LaunchStartsTheBridgeOnlyWhenOnboardedAndSignedIn) {
  struct Case {
    bool onboarded;
    bool signedIn;
    bool starts;
  };
  for (const Case c : {Case{true, true, true}, Case{true, false, false}, Case{false, true, false}}) {
    SCOPED_TRACE(::testing::Message() << "onboarded=" << c.onboarded << " signedIn=" << c.signedIn);
    if (c.onboarded) settings->setBool(keys::onboardingDone, true);
    else {
      settings->remove(keys::onboardingDone);
      settings->remove(keys::selectedTools);
    }
    auth->username.assign(c.signedIn ? std::optional<std::string>("me@example.com") : std::nullopt);
    server->starts = 0;
    int setupShown = 0;
    make()->onShowSetup = [&] { ++setupShown; };
    controller->launch();
    EXPECT_EQ(controller->started.get(), c.starts);
    EXPECT_EQ(server->starts, c.starts ? 1 : 0);
    EXPECT_EQ(setupShown, c.starts ? 0 : 1);
  }
}

}  // namespace
}  // namespace deskwave::testing
