#include <gmock/gmock.h>

#include <fstream>

#include "inject/paster_fixture.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kLongPrompt = "please refactor the parser module";

// ---- Generic path ----

struct SubmitCase {
  std::string name;
  SubmitOn submitOn;
  std::string prompt;
  std::optional<std::string> draftAt1_5s;  // what the user types into the composer meanwhile
  std::vector<std::string> actions;
  std::vector<std::string> submitted;
};

TEST_F(PasterTest, GenericPathSubmitsAndFallsBackOnlyWhileThePromptIsStillThere) {
  const std::vector<std::string> typed = {"0.60 focus composer", "0.60 click 400,830", "0.75 key primary+A",
                                          "0.75 key primary+V", "1.10 key Return"};
  auto with = [&](std::vector<std::string> more) {
    auto all = typed;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const std::string p = kLongPrompt;
  const std::vector<SubmitCase> cases = {
      {"Return submits", SubmitOn::Return, p, std::nullopt, typed, {p}},
      {"modifier Return submits", SubmitOn::PrimaryReturn, p, std::nullopt, with({"1.80 key primary+Return"}),
       {p + "\n"}},
      {"only the send button submits", SubmitOn::Never, p, std::nullopt,
       with({"1.80 key primary+Return", "2.40 press send"}), {p + "\n"}},
      {"a short prompt is looked for whole", SubmitOn::Never, "hi there", std::nullopt,
       with({"1.80 key primary+Return", "2.40 press send"}), {"hi there\n"}},
      {"a draft of the user's own ends the chain", SubmitOn::Never, p, "my own draft", typed, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    desktop = std::make_shared<FakeDesktop>(runtime.clock);  // stamps count from here
    auto codex = addChatApp(*desktop, {"Codex", "codex.desktop", "/usr/bin/codex", 300}, c.submitOn);
    makePaster();
    paster->pasteGeneric(c.prompt, "Codex");
    if (c.draftAt1_5s)
      runtime.main->postAfter(Seconds(1.5), [codex, draft = *c.draftAt1_5s] { codex->composer->value = draft; });
    time->advance(Seconds(5));
    EXPECT_EQ(actions(), c.actions);
    EXPECT_EQ(codex->submitted, c.submitted);
  }
}

TEST_F(PasterTest, GenericFallbacksAreLoggedAndTheWatcherStartsAfterReturn) {
  auto codex = addChatApp(*desktop, {"Codex", "codex.desktop", "/usr/bin/codex", 300}, SubmitOn::Never);
  makePaster();
  paster->pasteGeneric(kLongPrompt, "codex");
  time->advance(Seconds(1.09));
  EXPECT_FALSE(paster->activeWatcher());
  time->advance(Seconds(0.01));
  ASSERT_TRUE(paster->activeWatcher());
  EXPECT_TRUE(paster->activeWatcher()->active());
  EXPECT_THAT(logged("\u25B6 start"), ElementsAre("\u25B6 start: target='codex' pid=300, prompt 33 chars"));
  time->advance(Seconds(2));
  EXPECT_THAT(logged("PASTE"), ElementsAre("PASTE: Return didn't submit \u2014 trying \u2318\u21A9",
                                           "PASTE: \u2318\u21A9 didn't submit \u2014 pressing Send button"));
  EXPECT_EQ(desktop->clipboard(), std::string("text:") + kLongPrompt);
}

TEST_F(PasterTest, WithoutAComposerTheKeysGoWhereverFocusIsAndTheChainEnds) {
  auto& plain = desktop->addApp({"Notes", "", "", 400});
  auto window = element(ax::kWindow, "notes window");
  window->add(staticText("no text fields here", 10, 10));
  plain.windows.push_back(window);
  makePaster();
  paster->pasteGeneric(kLongPrompt, "notes");
  time->advance(Seconds(5));
  EXPECT_THAT(actions(), ElementsAre("0.75 key primary+A", "0.75 key primary+V", "1.10 key Return"));
  EXPECT_TRUE(paster->activeWatcher());
}

// ---- Cursor path ----

TEST_F(PasterTest, CursorPathPastesAndReturnsWithoutLookingForTheComposer) {
  auto cursor = addChatApp(*desktop, {"Cursor", "", "/opt/cursor/cursor", 100, /*regular=*/false});
  makePaster();
  paster->lastPasteHint.set("an older hint");
  paster->pasteText("explain this", "cursor");
  time->advance(Seconds(0.71));
  EXPECT_FALSE(paster->activeWatcher());
  EXPECT_FALSE(paster->lastPasteHint.get());
  time->advance(Seconds(5));
  EXPECT_THAT(actions(), ElementsAre("0.60 key primary+V", "0.72 key Return"));
  EXPECT_THAT(desktop->eventTexts("activate"), ElementsAre("activate Cursor"));
  EXPECT_THAT(cursor->submitted, ElementsAre("explain this"));
  EXPECT_THAT(logged("PASTE"), ElementsAre("PASTE: Accessibility granted = true, Cursor pid=100",
                                           "PASTE: injecting \u2318V then Return into Cursor"));
  ASSERT_TRUE(paster->activeWatcher());
  EXPECT_THAT(logged("  Capture"),
              ElementsAre("  Capture: Cursor DB + transcript (premium), Accessibility (generic backup)"));
}

// ---- Failures ----

struct FailureCase {
  std::string name;
  bool cursorRunning;
  bool trusted;
  std::function<void(CursorPaster&)> send;
  std::string hint;
  bool watcherStarted;
};

TEST_F(PasterTest, FailuresLeaveTheTextOnTheClipboardWithAHint) {
  const std::vector<FailureCase> cases = {
      {"Cursor not running", false, true, [](CursorPaster& p) { p.pasteText("hi", "Cursor"); },
       "Cursor is not running.", false},
      {"app not running", true, true, [](CursorPaster& p) { p.pasteGeneric("hi", "Zed"); }, "Zed is not running.",
       false},
      {"Claude not running", true, true, [](CursorPaster& p) { p.pasteToClaude("hi", "code"); },
       "claude is not running.", false},
      {"image target not running", true, true, [](CursorPaster& p) { p.pasteImages({}, "hi", "code"); },
       "code is not running.", false},
      {"Cursor untrusted", true, false, [](CursorPaster& p) { p.pasteText("hi", "Cursor"); },
       "Message copied \u2014 paste in Cursor with \u2318V, then Return. (Optional: grant Accessibility in System "
       "Settings for auto-paste.)",
       true},
      {"app untrusted", true, false, [](CursorPaster& p) { p.pasteGeneric("hi", "CURSOR"); },
       "Message copied \u2014 paste in Cursor with \u2318V.", true},
      {"images untrusted", true, false, [](CursorPaster& p) { p.pasteImages({}, "hi", "cursor"); },
       "Grant Accessibility to auto-paste images.", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    desktop = std::make_shared<FakeDesktop>(runtime.clock);
    if (c.cursorRunning) addChatApp(*desktop, {"Cursor", "cursor.desktop", "/opt/cursor/cursor", 100});
    desktop->trusted = c.trusted;
    makePaster();
    c.send(*paster);
    time->advance(Seconds(5));
    EXPECT_EQ(paster->lastPasteHint.get(), c.hint);
    EXPECT_EQ(static_cast<bool>(paster->activeWatcher()), c.watcherStarted);
    EXPECT_THAT(actions({"key "}), IsEmpty());
    if (c.name != "images untrusted" && c.name != "image target not running") {
      EXPECT_EQ(desktop->clipboard(), "text:hi");
    }
    EXPECT_EQ(desktop->trustPrompts, c.trusted ? 0 : 1) << "asked once, when the pipeline is made";
  }
}

TEST_F(PasterTest, UntrustedCursorPasteIsLoggedAndWatchedAtOnce) {
  addChatApp(*desktop, {"Cursor", "cursor.desktop", "/opt/cursor/cursor", 100});
  desktop->trusted = false;
  makePaster();
  paster->pasteText("hi", "cursor");
  time->runUntilIdle();
  EXPECT_THAT(logged("PASTE"),
              ElementsAre("PASTE: Accessibility granted = false, Cursor pid=100",
                          "PASTE: \u274C Accessibility NOT granted \u2014 message on clipboard but NOT typed into Cursor"));
  ASSERT_TRUE(paster->activeWatcher());
  EXPECT_TRUE(paster->activeWatcher()->active());
}

// ---- Images ----

struct ImageCase {
  std::string name;
  std::vector<std::string> files;  // "missing.png" does not exist
  std::string text;
  std::vector<std::string> timeline;
};

TEST_F(PasterTest, ImagesArePastedOneByOneThenTheTextThenReturn) {
  {
    std::ofstream(home.path() / "a.png") << "\x89PNG";
  }
  const std::vector<ImageCase> cases = {
      {"images and text",
       {"a.png", "missing.png"},
       "see these",
       {"0.60 clipboard clear", "0.60 clipboard image:a.png", "0.60 key primary+V", "1.60 clipboard clear",
        "1.60 clipboard text:see these", "1.60 key primary+V", "1.90 key Return"}},
      {"text only", {}, "just text", {"0.60 clipboard clear", "0.60 clipboard text:just text", "0.60 key primary+V",
                                      "0.90 key Return"}},
      {"nothing", {}, "", {"0.60 key Return"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    desktop = std::make_shared<FakeDesktop>(runtime.clock);
    auto claude = addChatApp(*desktop, {"Claude", "claude.desktop", "/opt/Claude/claude", 200});
    makePaster();
    std::vector<std::filesystem::path> files;
    for (const auto& f : c.files) files.push_back(home.path() / f);
    paster->pasteImages(files, c.text, "Code");
    time->advance(Seconds(5));
    EXPECT_EQ(actions({"key ", "clipboard "}), c.timeline);
    EXPECT_THAT(desktop->eventTexts("activate"), ElementsAre("activate Claude"));
    EXPECT_FALSE(paster->activeWatcher()) << "no watcher for images";
  }
}

// ---- Overlapping prompts and lifetime ----

TEST_F(PasterTest, ASecondPromptStopsTheFirstWatcherWhileBothTimelinesType) {
  auto codex = addChatApp(*desktop, {"Codex", "codex.desktop", "/usr/bin/codex", 300});
  makePaster();
  paster->pasteGeneric("first prompt of the two", "Codex");
  time->advance(Seconds(0.5));
  paster->pasteGeneric("second prompt of the two", "Codex");
  time->advance(Seconds(0.6));
  const auto first = paster->activeWatcher();
  ASSERT_TRUE(first);
  time->advance(Seconds(0.5));
  ASSERT_TRUE(paster->activeWatcher());
  EXPECT_NE(paster->activeWatcher(), first);
  EXPECT_FALSE(first->active());
  EXPECT_TRUE(paster->activeWatcher()->active());
  EXPECT_THAT(actions({"key Return"}), ElementsAre("1.10 key Return", "1.60 key Return"));
  EXPECT_THAT(codex->submitted, ElementsAre("first prompt of the two", "second prompt of the two"));
}

TEST_F(PasterTest, PendingWorkDoesNothingOnceThePipelineIsGone) {
  addChatApp(*desktop, {"Codex", "codex.desktop", "/usr/bin/codex", 300});
  makePaster();
  paster->pasteGeneric("hello", "Codex");
  paster->answerClaudePrompt("allow");
  paster.reset();
  time->advance(Seconds(5));
  EXPECT_THAT(desktop->events(), IsEmpty());
}

// ---- Claude's own prompts ----

TEST_F(PasterTest, ClaudeAnswersRunOnTheirTimelines) {
  auto claude = addChatApp(*desktop, {"Claude", "claude.desktop", "/opt/Claude/claude", 200});
  auto field = element(ax::kTextArea, "answer field");
  field->at(120, 650).sized(400, 30).withValue("");
  field->placeholder = "Your answer";
  auto submit = element(ax::kButton, "submit");
  submit->withTitle("Submit").at(540, 650).sized(60, 30);
  claude->window->add(field).add(submit);
  makePaster();

  paster->answerClaudePrompt("allow");
  time->advance(Seconds(2));
  EXPECT_THAT(actions(), ElementsAre("0.50 key primary+Return"));

  desktop->clearEvents();
  paster->answerClaudeQuestionOther("use tabs");
  time->advance(Seconds(2));
  EXPECT_THAT(actions(), ElementsAre("2.60 focus answer field", "2.60 click 320,665", "2.85 key primary+A",
                                     "2.85 key primary+V", "3.25 press submit"));
  EXPECT_EQ(field->value, "use tabs");

  desktop->clearEvents();
  paster->pressClaudeButton("submit");
  time->advance(Seconds(2));
  EXPECT_THAT(actions(), ElementsAre("4.60 press submit"));
  EXPECT_THAT(logged("QUESTION"), ElementsAre("QUESTION: pressed option \"Submit\" in Claude",
                                              "QUESTION: pressed option \"submit\" in Claude"));
}

TEST_F(PasterTest, ClaudeAnswersNeedClaudeAndThePermissionPromptNeedsTrust) {
  makePaster();
  paster->answerClaudePrompt("allow");
  paster->answerClaudeQuestionOther("x");
  paster->pressClaudeButton("Yes");
  time->advance(Seconds(2));
  EXPECT_THAT(desktop->events(), IsEmpty()) << "no Claude: nothing happens";

  addChatApp(*desktop, {"Claude", "claude.desktop", "/opt/Claude/claude", 200});
  desktop->trusted = false;
  paster->answerClaudePrompt("allow");
  time->advance(Seconds(2));
  EXPECT_THAT(desktop->eventTexts(), ElementsAre("activate Claude"));
}

// ---- A whole round trip through the window ----

TEST_F(PasterTest, AReplyGrowingInTheWindowComesBackOnceWithPartialsBeforeIt) {
  auto codex = addChatApp(*desktop, {"Codex", "codex.desktop", "/usr/bin/codex", 300});
  makePaster();
  const std::string finalText = "The build failed in step 3.\nA header is missing.";
  // The assistant writes its answer while the watcher polls (at 7.1 s, then every 2 s).
  runtime.main->postAfter(Seconds(8), [codex] { codex->reply("The log shows"); });
  runtime.main->postAfter(Seconds(10), [codex] { codex->reply("The log shows a failure"); });
  runtime.main->postAfter(Seconds(12), [codex, finalText] { codex->reply(finalText); });

  paster->pasteGeneric("summarise the build log", "Codex");
  time->advance(Seconds(21));
  EXPECT_THAT(replies, IsEmpty()) << "four unchanged polls are needed";
  time->advance(Seconds(100));

  EXPECT_THAT(codex->submitted, ElementsAre("summarise the build log"));
  EXPECT_THAT(replies, ElementsAre("Codex|" + finalText));
  EXPECT_THAT(partials, ElementsAre("Codex|The log shows", "Codex|The log shows a failure", "Codex|" + finalText,
                                    "Codex|" + finalText, "Codex|" + finalText, "Codex|" + finalText));
  EXPECT_THAT(logged("\u2705"), ElementsAre("\u2705 Response via ax: 48 chars \u2014 sending to iPhone"));
  EXPECT_FALSE(paster->activeWatcher()->active());
}

}  // namespace
}  // namespace deskwave::testing
