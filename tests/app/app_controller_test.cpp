#include <gmock/gmock.h>

#include "app/controller_fixture.h"
#include "platform/base64.h"
#include "platform/crypto.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- Start-up ----

TEST_F(ControllerTest, StartBridgeWaitsForSignInAndOnboardingAndRunsOnce) {
  auth->username.assign(std::nullopt);
  make()->startBridge();
  EXPECT_FALSE(controller->started.get());
  EXPECT_EQ(server->starts, 0);
  EXPECT_FALSE(server->tabsProvider);

  auth->username.assign("me@example.com");
  controller->startBridge();
  controller->startBridge();
  EXPECT_TRUE(controller->started.get());
  EXPECT_EQ(server->starts, 1);
  EXPECT_EQ(claudeMonitor->starts, 1);
  EXPECT_EQ(claudeCockpit->starts, 1);
  EXPECT_EQ(cursorCockpit->starts, 1);
  EXPECT_TRUE(settings->getBool(keys::useInternet));
  ASSERT_TRUE(server->tabsProvider);
  EXPECT_THAT(server->tabsProvider(), ElementsAre("Cursor", "Codex"));
  EXPECT_FALSE(server->onDeliver) << "the /deliver hook stays unset";
}

TEST_F(ControllerTest, StartBridgeDoesNothingBeforeOnboarding) {
  settings->remove(keys::selectedTools);
  settings->remove(keys::onboardingDone);
  started();
  EXPECT_FALSE(controller->started.get());
  EXPECT_EQ(server->starts, 0);
  EXPECT_EQ(claudeMonitor->starts, 0);
}

TEST_F(ControllerTest, RelayJoinsTheRoomDerivedFromTheAccount) {
  settings->setString(AuthState::subKey, "ABC-123");
  settings->setString(keys::relayPin, "4321");
  started();
  EXPECT_EQ(controller->pairing().accountId.get(), "abc-123");
  ASSERT_THAT(relay->rooms, ElementsAre(sha256Hex("abc-123:Deskwave-room-v1")));
  EXPECT_EQ(*relay->key, sha256("abc-123:Deskwave-key-v1"));
  EXPECT_TRUE(relay->onMessage);
  EXPECT_TRUE(relay->onPeerJoined);
}

TEST_F(ControllerTest, RelayFallsBackToThePinAsStored) {
  settings->setString(keys::relayPin, "PinCode");
  started();
  ASSERT_THAT(relay->rooms, ElementsAre(sha256Hex("PinCode:Deskwave-room-v1")));
}

TEST_F(ControllerTest, RelayBailsOutWithoutASecretAndTheLocalLinkStillWorks) {
  started();
  EXPECT_THAT(relay->rooms, IsEmpty());
  EXPECT_FALSE(relay->onMessage);
  EXPECT_THAT(logged(), ElementsAre("RELAY: startRelay bailed \u2014 no pairing PIN set"));
  EXPECT_EQ(server->starts, 1);
  server->onMessage("cursor", "hi");
  time->advance(Seconds(1));
  EXPECT_THAT(cursorApp->submitted, ElementsAre("hi"));
}

// ---- Routing ----

struct RouteCase {
  std::string target;
  std::string app;                // the application the prompt was typed into
  std::vector<std::string> keys;  // the keystrokes of its path
  bool tracked;                   // recorded as sent to Claude
  bool startsTurn;                // generic path
};

TEST_F(ControllerTest, RoutesEachTargetToItsPath) {
  const std::vector<std::string> cursorKeys = {"key primary+V", "key Return"};
  const std::vector<std::string> genericKeys = {"key primary+A", "key primary+V", "key Return"};
  const std::vector<RouteCase> cases = {
      {"claude", "Claude", genericKeys, true, false},
      {"CLAUDE", "Claude", genericKeys, true, false},
      {"Code", "Claude", genericKeys, true, false},
      {"Cursor", "Cursor", cursorKeys, false, false},
      {"codex", "Codex", genericKeys, false, true},
  };
  started();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    for (auto* app : {cursorApp.get(), claudeApp.get(), codexApp.get()}) app->submitted.clear();
    desktop->clearEvents();
    server->turnsStarted.clear();
    server->onMessage(c.target, "hello");
    time->advance(Seconds(3));
    for (auto* app : {cursorApp.get(), claudeApp.get(), codexApp.get()}) {
      if (app->app->info.name == c.app) EXPECT_THAT(app->submitted, ElementsAre("hello"));
      else EXPECT_THAT(app->submitted, IsEmpty()) << app->app->info.name;
    }
    EXPECT_EQ(desktop->eventTexts("key "), c.keys);
    EXPECT_EQ(controller->sentPrompts().wasRecentlySent("hello"), c.tracked);
    if (c.startsTurn) EXPECT_THAT(server->turnsStarted, ElementsAre(c.target));
    else EXPECT_THAT(server->turnsStarted, IsEmpty());
  }

  // An application that is not running gets the generic path and a hint.
  server->turnsStarted.clear();
  server->onMessage("My Editor", "hello");
  time->advance(Seconds(3));
  EXPECT_THAT(server->turnsStarted, ElementsAre("My Editor"));
  EXPECT_EQ(paster->lastPasteHint.get(), "My Editor is not running.");
}

TEST_F(ControllerTest, LocalPromptIsLoggedStoredAndRoutedWithoutSendingTabs) {
  started();
  echoed.clear();
  server->onMessage("Codex", "fix the build");
  EXPECT_THAT(logged(), ElementsAre("\U0001F4E5 IN via LOCAL Wi-Fi \u2192 Codex"));
  const auto& history = controller->store().codex.get();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].text, "fix the build");
  EXPECT_FALSE(history[0].isReceived);
  EXPECT_EQ(history[0].timestamp, runtime.clock->now());
  EXPECT_TRUE(isCanonicalUuid(history[0].id));
  EXPECT_THAT(relay->tabsSent, IsEmpty());
}

TEST_F(ControllerTest, RelayPromptRefreshesTheToolListBeforePasting) {
  settings->setString(keys::relayPin, "1234");
  started();
  echoed.clear();
  relay->onMessage("cursor", "explain this");
  ASSERT_EQ(relay->tabsSent.size(), 1u);
  EXPECT_THAT(relay->tabsSent.back(), ElementsAre("Cursor", "Codex"));
  EXPECT_THAT(desktop->events(), IsEmpty()) << "the paste runs after the tool list went out";
  EXPECT_THAT(logged(), ElementsAre("\U0001F4E5 IN via INTERNET relay \u2192 cursor"));
  time->advance(Seconds(1));
  EXPECT_THAT(cursorApp->submitted, ElementsAre("explain this"));
  EXPECT_EQ(controller->store().cursor.get().size(), 1u);
}

// ---- Push-token registration ----

struct TokenCase {
  std::string text;
  std::vector<std::pair<std::string, bool>> registered;  // (token, sandbox)
};

TEST_F(ControllerTest, TokenRegistrationIsConsumedOverBothLinksEvenWhilePaused) {
  const std::vector<TokenCase> cases = {
      {"abc|production", {{"abc", false}}},
      {"abc", {{"abc", true}}},
      {"abc|sandbox", {{"abc", true}}},
      {"abc|Production", {{"abc", true}}},
      {"abc|production|extra", {{"abc", false}}},
      {"", {}},
      {"|production", {}},
  };
  settings->setString(keys::relayPin, "1234");
  started();
  controller->togglePause();
  for (bool viaRelay : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.text + (viaRelay ? " via relay" : " via local"));
      push->tokens.clear();
      (viaRelay ? relay->onMessage : server->onMessage)("__apns_token__", c.text);
      EXPECT_EQ(push->tokens, c.registered);
    }
  }
  controller->togglePause();
  server->onMessage("__apns_token__", "tok");
  time->advance(Seconds(3));
  EXPECT_THAT(desktop->events(), IsEmpty());
  EXPECT_EQ(controller->store().extra.get().size(), 0u);
  EXPECT_THAT(relay->tabsSent, IsEmpty());
  // Only an exact target registers a token.
  server->onMessage("__APNS_TOKEN__", "tok");
  time->advance(Seconds(3));
  EXPECT_EQ(paster->lastPasteHint.get(), "__APNS_TOKEN__ is not running.");
}

// ---- Pause ----

TEST_F(ControllerTest, PauseDropsTrafficButKeepsTheLinksServing) {
  settings->setString(keys::relayPin, "1234");
  started();
  const auto item = controller->outbox().add("cursor", "earlier reply", "assistant");
  echoed.clear();
  controller->togglePause();
  EXPECT_TRUE(server->paused);
  EXPECT_EQ(controller->connectionLabel(), "Paused");

  server->onMessage("cursor", "dropped");
  relay->onMessage("codex", "dropped");
  server->onAttach("claude", "dropped", {{"a.png", base64Encode(std::string("png"))}});
  server->onPermAnswer("allow");
  paster->onResponse("codex", "reply");
  paster->onPartial("codex", "partial");
  claudeMonitor->onReply("mirrored");
  claudeMonitor->onUserPrompt("desk prompt");
  claudeMonitor->onQuestion("Which?", {"A"}, {"a"});
  claudeCockpit->onPartial(std::string("thinking"));
  time->advance(Seconds(3));

  EXPECT_THAT(logged(), ElementsAre("\u23F8\uFE0F Bridge paused by user"));
  EXPECT_THAT(desktop->events(), IsEmpty());
  EXPECT_THAT(relay->sent, IsEmpty());
  EXPECT_THAT(relay->tabsSent, IsEmpty());
  EXPECT_THAT(push->pushes, IsEmpty());
  EXPECT_THAT(server->partials, IsEmpty());
  EXPECT_THAT(server->filed, IsEmpty());
  EXPECT_EQ(server->questionClears, 0);
  EXPECT_TRUE(controller->store().cursor.get().empty());
  EXPECT_TRUE(controller->store().codex.get().empty());
  EXPECT_FALSE(std::filesystem::exists(home.paths().attachmentsDir()));

  // Polls, acknowledgements and permission requests keep working.
  EXPECT_THAT(server->responsesProvider(), ElementsAre(item));
  server->ackHandler({item.id});
  EXPECT_THAT(controller->outbox().pending(), IsEmpty());
  server->onPermRequest("Claude", "rm -rf build");
  EXPECT_EQ(push->pushes.size(), 1u);

  controller->togglePause();
  EXPECT_FALSE(server->paused);
  EXPECT_EQ(logged().back(), "\u25B6\uFE0F Bridge resumed by user");
  server->onMessage("cursor", "after resume");
  time->advance(Seconds(1));
  EXPECT_THAT(cursorApp->submitted, ElementsAre("after resume"));
}

// ---- Attachments ----

TEST_F(ControllerTest, AttachmentSavesTheGoodImagesAndPastesThem) {
  started();
  echoed.clear();
  server->onAttach("claude", "",
                   {{"bad one.png", "not base64!"}, {"shot 1.png", base64Encode(std::string("\x89PNG data"))}});
  EXPECT_THAT(logged(), ElementsAre("\U0001F4CE ATTACH via LOCAL Wi-Fi \u2192 claude, 1 image(s)"));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(runtime.clock->now().time_since_epoch());
  const auto name = std::to_string(seconds.count()) + "-shot_1.png";
  const auto file = home.path() / "Deskwave" / "attachments" / name;
  EXPECT_EQ(std::filesystem::file_size(file), 9u);
  time->advance(Seconds(2));
  EXPECT_THAT(claudeApp->composer->pastedImages, ElementsAre(name));
  EXPECT_THAT(desktop->eventTexts("key "), ElementsAre("key primary+V", "key Return"));

  const auto& history = controller->store().extra.get().at("claude");
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].text, "\U0001F4F7 Image");
  EXPECT_FALSE(controller->sentPrompts().wasRecentlySent("")) << "an empty text is not tracked";
}

TEST_F(ControllerTest, AttachmentWithTextIsTrackedForClaudeAndPastedEvenWithNoImage) {
  started();
  server->onAttach("Code", "look at this", {});
  EXPECT_EQ(logged().back(), "\U0001F4CE ATTACH via LOCAL Wi-Fi \u2192 Code, 0 image(s)");
  time->advance(Seconds(2));
  EXPECT_THAT(claudeApp->submitted, ElementsAre("look at this"));
  EXPECT_THAT(desktop->eventTexts("clipboard image"), IsEmpty());
  EXPECT_EQ(controller->store().code.get().at(0).text, "look at this");
  EXPECT_TRUE(controller->sentPrompts().wasRecentlySent("look at this"));

  server->onAttach("cursor", "not for claude", {});
  EXPECT_FALSE(controller->sentPrompts().wasRecentlySent("not for claude"));
}

// ---- Permission answers ----

TEST_F(ControllerTest, PermissionAnswersActOnClaudesPrompt) {
  // Claude shows a question: two options and a field for another answer.
  auto allow = element(ax::kButton, "Allow button");
  allow->withTitle("Allow").at(120, 600).sized(80, 30);
  auto always = element(ax::kButton, "Always button");
  always->withTitle("Yes, and don't ask again").at(220, 600).sized(200, 30);
  auto other = element(ax::kTextField, "other field");
  other->at(120, 650).sized(400, 30).withValue("");
  other->placeholder = "Type your answer";
  auto submit = element(ax::kButton, "Submit button");
  submit->withTitle("Submit answer").at(540, 650).sized(100, 30);
  std::vector<std::string> answers;
  other->onSubmit = [&answers](const std::string& text) { answers.push_back(text); };
  submit->onPress = [this, other] { desktop->submit(other); };
  claudeApp->window->add(allow).add(always).add(other).add(submit);

  struct Case {
    std::string decision;
    std::vector<std::string> actions;  // keystrokes and presses, in order
    std::vector<std::string> answers;
  };
  const std::vector<Case> cases = {
      {"allow", {"key primary+Return"}, {}},
      {"deny", {"key Escape"}, {}},
      {"Allow", {"press Allow button"}, {}},
      {"Yes, and don't ask again", {"press Always button"}, {}},
      {"__other__:use tabs", {"key primary+A", "key primary+V", "press Submit button"}, {"use tabs"}},
      {"__other__:", {"key primary+A", "key primary+V", "press Submit button"}, {""}},
  };
  started();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.decision);
    desktop->clearEvents();
    answers.clear();
    server->onPermAnswer(c.decision);
    time->advance(Seconds(2));
    std::vector<std::string> actions;
    for (const auto& e : desktop->eventTexts())
      if (e.rfind("key ", 0) == 0 || e.rfind("press ", 0) == 0) actions.push_back(e);
    EXPECT_EQ(actions, c.actions);
    EXPECT_EQ(answers, c.answers);
    EXPECT_THAT(desktop->eventTexts("activate "), ElementsAre("activate Claude"));
  }
}

TEST_F(ControllerTest, PermissionRequestIsAnnouncedByPush) {
  started();
  server->onPermRequest("Claude", "detail is not shown");
  EXPECT_THAT(push->pushes, ElementsAre(Push{"Claude", "Permission request", false}));
}

// ---- Replies ----

TEST_F(ControllerTest, ReplyForAGenericTargetFansOutAndEndsItsTurn) {
  settings->setString(keys::relayPin, "1234");
  started();
  paster->onResponse("codex", "Done: 3 files changed");

  const auto pending = controller->outbox().pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].target, "codex");
  EXPECT_EQ(pending[0].text, "Done: 3 files changed");
  EXPECT_EQ(pending[0].role, "assistant");
  EXPECT_THAT(relay->sent, ElementsAre(pending[0]));
  EXPECT_THAT(server->suppressed, ElementsAre(std::pair<std::string, bool>("codex", true)));
  EXPECT_THAT(push->pushes, ElementsAre(Push{"codex", "Done: 3 files changed", false}));

  EXPECT_TRUE(controller->store().codex.get().empty()) << "the history insert runs after the handler";
  time->runUntilIdle();
  ASSERT_EQ(controller->store().codex.get().size(), 1u);
  EXPECT_TRUE(controller->store().codex.get()[0].isReceived);
}

TEST_F(ControllerTest, ReplyForCursorLeavesTheThinkingStateAlone) {
  started();
  paster->onResponse("Cursor", "ok");
  EXPECT_THAT(server->suppressed, IsEmpty());
  EXPECT_EQ(controller->outbox().pending().size(), 1u);
}

TEST_F(ControllerTest, RepliesAreNotSentOverTheRelayWhenTheInternetLinkIsOff) {
  started();
  settings->setBool(keys::useInternet, false);
  paster->onResponse("cursor", "ok");
  claudeMonitor->onReply("mirrored");
  EXPECT_THAT(relay->sent, IsEmpty());
  EXPECT_EQ(controller->outbox().pending().size(), 2u);
}

TEST_F(ControllerTest, WiringTheReplyCallbackTwiceDeliversEachReplyOnce) {
  settings->setString(keys::relayPin, "1234");
  started();  // wires once in startBridge and again in startRelay
  controller->wireResponseCallback();
  paster->onResponse("cursor", "once");
  EXPECT_EQ(controller->outbox().pending().size(), 1u);
  EXPECT_EQ(push->pushes.size(), 1u);
}

TEST_F(ControllerTest, GenericPartialsReachTheActivityTableOnlyForGenericTargets) {
  started();
  paster->onPartial("codex", "Working on");
  paster->onPartial("Cursor", "ignored");
  paster->onPartial("CLAUDE", "ignored");
  paster->onPartial("code", "ignored");
  ASSERT_EQ(server->partials.size(), 1u);
  EXPECT_EQ(server->partials[0].first, "codex");
  EXPECT_EQ(server->partials[0].second, "Working on");
}

TEST_F(ControllerTest, CockpitPartialsUseTheirTabNames) {
  started();
  claudeCockpit->onPartial(std::string("Reading files"));
  cursorCockpit->onPartial(std::nullopt);
  ASSERT_EQ(server->partials.size(), 2u);
  EXPECT_EQ(server->partials[0], (std::pair<std::string, std::optional<std::string>>("Claude", "Reading files")));
  EXPECT_EQ(server->partials[1], (std::pair<std::string, std::optional<std::string>>("Cursor", std::nullopt)));
}

// ---- Mirrored Claude traffic ----

TEST_F(ControllerTest, MirroredClaudeReplyFansOutUnderClaude) {
  settings->setString(keys::relayPin, "1234");
  started();
  claudeMonitor->onReply("Here is the fix.");
  EXPECT_EQ(server->questionClears, 1);
  const auto pending = controller->outbox().pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].target, "Claude");
  EXPECT_EQ(pending[0].role, "assistant");
  EXPECT_THAT(relay->sent, ElementsAre(pending[0]));
  EXPECT_THAT(push->pushes, ElementsAre(Push{"Claude", "Here is the fix.", false}));
  time->runUntilIdle();
  ASSERT_EQ(controller->store().extra.get().at("Claude").size(), 1u);
  EXPECT_TRUE(controller->store().extra.get().at("Claude")[0].isReceived);
}

TEST_F(ControllerTest, DeskPromptEchoOfAPhonePromptIsNotMirroredBack) {
  settings->setString(keys::relayPin, "1234");
  started();
  server->onMessage("claude", "  run the tests\n");
  claudeMonitor->onUserPrompt("run the tests");
  EXPECT_THAT(controller->outbox().pending(), IsEmpty());
  EXPECT_EQ(server->questionClears, 1);

  claudeMonitor->onUserPrompt("run the tests");  // typed again at the desk
  const auto pending = controller->outbox().pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].target, "Claude");
  EXPECT_EQ(pending[0].role, "user");
  EXPECT_THAT(relay->sent, ElementsAre(pending[0]));
  EXPECT_THAT(push->pushes, IsEmpty()) << "a desk prompt is not pushed";
  time->runUntilIdle();
  // The phone's prompt opened the history as "claude"; the mirror joins it.
  const auto& history = controller->store().extra.get().at("claude");
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[1].text, "run the tests");
  EXPECT_FALSE(history[1].isReceived);
}

// A phone prompt for Claude is watched in Claude's window and mirrored from its
// transcript: when the mirror brings the reply, the window watcher must not
// bring it a second time. One prompt, one reply.
TEST_F(ControllerTest, AMirroredReplyToAPhonePromptStopsItsWindowWatcher) {
  started();
  server->onMessage("claude", "run the tests");
  time->advance(Seconds(3));
  ASSERT_THAT(claudeApp->submitted, ElementsAre("run the tests"));
  ASSERT_TRUE(paster->activeWatcher() && paster->activeWatcher()->active());
  claudeApp->reply("All 12 tests pass.");
  claudeMonitor->onUserPrompt("run the tests");  // the echo of the phone's prompt
  claudeMonitor->onReply("All 12 tests pass.");
  EXPECT_FALSE(paster->activeWatcher()->active());
  time->advance(Seconds(60));
  const auto pending = controller->outbox().pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].target, "Claude");
  EXPECT_EQ(pending[0].text, "All 12 tests pass.");

  // A reply to a prompt typed at the desk leaves a phone prompt's watcher alone.
  server->onMessage("claude", "and the linter?");
  time->advance(Seconds(3));
  claudeMonitor->onUserPrompt("something typed at the desk");
  claudeMonitor->onReply("Desk reply.");
  EXPECT_TRUE(paster->activeWatcher()->active());
}

TEST_F(ControllerTest, QuestionPairsOptionsWithDescriptionsAndIsPushed) {
  started();
  claudeMonitor->onQuestion("Which database?", {"SQLite", "Postgres", "Both"}, {"small", "big"});
  ASSERT_EQ(server->filed.size(), 1u);
  const auto& entry = server->filed[0];
  EXPECT_TRUE(isCanonicalUuid(entry.id));
  EXPECT_EQ(entry.id, uppercasedAscii(entry.id));
  EXPECT_EQ(entry.tool, "Question");
  EXPECT_EQ(entry.detail, "Which database?");
  EXPECT_EQ(entry.target, "Claude");
  EXPECT_EQ(entry.ts, runtime.clock->now());
  EXPECT_THAT(entry.options, ElementsAre(QuestionOption{{"label", "SQLite"}, {"desc", "small"}},
                                         QuestionOption{{"label", "Postgres"}, {"desc", "big"}}));
  EXPECT_THAT(push->pushes, ElementsAre(Push{"Claude", "Which database?", false}));
}

// ---- Outbox over both links ----

TEST_F(ControllerTest, BothLinksReadAndAcknowledgeTheSameOutbox) {
  settings->setString(keys::relayPin, "1234");
  started();
  const auto a = controller->outbox().add("cursor", "a", "assistant");
  const auto b = controller->outbox().add("codex", "b", "assistant");
  EXPECT_THAT(relay->pendingProvider(), ElementsAre(a, b));
  relay->onAck(a.id);
  EXPECT_THAT(server->responsesProvider(), ElementsAre(b));
  server->ackHandler({b.id, "unknown"});
  EXPECT_THAT(relay->pendingProvider(), IsEmpty());
}

TEST_F(ControllerTest, PeerJoiningReceivesTheSelectedTools) {
  settings->setString(keys::relayPin, "1234");
  started();
  relay->onPeerJoined();
  EXPECT_THAT(relay->tabsSent, ElementsAre(std::vector<std::string>{"Cursor", "Codex"}));
}

// ---- Presence ----

TEST_F(ControllerTest, LocalPresenceLastsUnderEightSecondsAfterAPoll) {
  started();
  time->advance(Seconds(0.1));
  server->responsesProvider();
  EXPECT_FALSE(controller->localActive.get()) << "nothing is computed before the first tick";
  time->advance(Seconds(1.8));  // t = 1.9
  EXPECT_FALSE(controller->localActive.get());
  time->advance(Seconds(0.1));  // t = 2.0, first tick
  EXPECT_TRUE(controller->localActive.get());
  EXPECT_TRUE(controller->phoneConnected.get());
  time->advance(Seconds(6.0));  // t = 8.0: last poll 7.9 s ago
  EXPECT_TRUE(controller->localActive.get());
  EXPECT_EQ(controller->connectionSymbol(), "wifi");
  time->advance(Seconds(2.0));  // t = 10.0: 9.9 s ago
  EXPECT_FALSE(controller->localActive.get());
  EXPECT_FALSE(controller->phoneConnected.get());
  EXPECT_EQ(controller->connectionLabel(), "Offline");
}

TEST_F(ControllerTest, LocalPresenceEndsAtExactlyEightSeconds) {
  started();
  time->advance(Seconds(2.0));
  server->responsesProvider();
  time->runUntilIdle();  // contact stamped at t = 2.0
  time->advance(Seconds(6.0));  // t = 8.0: 6 s ago
  EXPECT_TRUE(controller->localActive.get());
  time->advance(Seconds(2.0));  // t = 10.0: 8.0 s ago
  EXPECT_FALSE(controller->localActive.get());
}

TEST_F(ControllerTest, RelayPeerKeepsThePhoneConnectedWithoutLocalPolls) {
  started();
  relay->peerConnected.set(true);
  int changes = 0;
  controller->phoneConnected.observe([&](bool) { ++changes; });
  time->advance(Seconds(10.0));
  EXPECT_TRUE(controller->phoneConnected.get());
  EXPECT_FALSE(controller->localActive.get());
  EXPECT_EQ(changes, 1) << "observers hear of changes only";
  EXPECT_EQ(controller->connectionLabel(), "Online");
  EXPECT_EQ(controller->connectionSymbol(), "globe");
  EXPECT_EQ(controller->statusTone(), StatusTone::online);
}

TEST_F(ControllerTest, StatusPresentationFollowsPauseAndPresence) {
  make();
  EXPECT_EQ(controller->connectionLabel(), "Offline");
  EXPECT_EQ(controller->connectionSymbol(), "");
  EXPECT_EQ(controller->statusTone(), StatusTone::secondary);
  controller->togglePause();
  EXPECT_EQ(controller->statusTone(), StatusTone::paused);
  controller->phoneConnected.set(true);
  EXPECT_EQ(controller->connectionLabel(), "Paused");
  EXPECT_EQ(controller->connectionSymbol(), "globe");
}

// ---- Tool selection ----

TEST_F(ControllerTest, SavingToolsUpdatesOnboardingTheServedListAndAConnectedPhone) {
  started();
  controller->saveToolSelection({"Claude"});
  EXPECT_THAT(server->tabsProvider(), ElementsAre("Claude"));
  EXPECT_THAT(settings->getStringList(keys::selectedTools), ElementsAre("Claude"));
  EXPECT_THAT(relay->tabsSent, IsEmpty()) << "no phone in the room";

  relay->peerConnected.set(true);
  controller->saveToolSelection({"Claude", "Zed"});
  EXPECT_THAT(relay->tabsSent, ElementsAre(std::vector<std::string>{"Claude", "Zed"}));
}

// ---- Lifetime ----

TEST_F(ControllerTest, HooksDoNothingOnceTheControllerIsGone) {
  settings->setString(keys::relayPin, "1234");
  started();
  controller.reset();
  server->onMessage("cursor", "late");
  relay->onMessage("cursor", "late");
  paster->onResponse("codex", "late");
  claudeMonitor->onReply("late");
  EXPECT_THAT(server->responsesProvider(), IsEmpty());
  time->advance(Seconds(10));
  EXPECT_THAT(desktop->events(), IsEmpty());
  EXPECT_THAT(push->pushes, IsEmpty());
  EXPECT_EQ(time->pendingTasks(), 0u) << "the presence timer ends with the controller";
}

}  // namespace
}  // namespace deskwave::testing
