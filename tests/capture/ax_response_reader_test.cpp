#include "capture/ax_response_reader.h"

#include <gmock/gmock.h>

#include <cstdio>

#include "capture/ax_reply_extraction.h"
#include "platform/virtual_time.h"
#include "support/fake_desktop.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ax_reply::Item;

Item text(std::string t, double x, double y) { return Item{std::move(t), y, x, 0}; }
Item input(double x, double y, double width) { return ax_reply::inputMarker(x, y, width); }

std::string number(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", v);
  return buffer;
}

// "text@x,y", or "<input w>@x,y" for an input marker.
std::vector<std::string> describe(const std::vector<Item>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) {
    const auto what = ax_reply::isInputMarker(i) ? "<input " + number(i.w) + ">" : i.text;
    out.push_back(what + "@" + number(i.x) + "," + number(i.y));
  }
  return out;
}

// ---- Reply extraction from item lists ----------------------------------------

struct ExtractionCase {
  const char* name;
  std::string prompt;
  std::vector<Item> items;
  std::string reply;
};

void expectReplies(const std::vector<ExtractionCase>& cases) {
  for (const auto& c : cases) EXPECT_EQ(ax_reply::extractReply(c.items, c.prompt), c.reply) << c.name;
}

TEST(AXReplyExtractionTest, TheComposerBoundsTheReplyBelowAndAtTheSides) {
  const std::string p = "Fix the build please";
  expectReplies({
      {"of two equally wide inputs the lower is the composer; its row ends the reply",
       p,
       {input(100, 40, 400), text(p, 100, 100), text("Run make first", 100, 200), text("Beside the composer", 50, 400),
        input(100, 400, 400), text("Under the composer", 100, 450)},
       "Run make first"},
      {"the widest input is the composer even above a narrower one",
       p,
       {text(p, 100, 100), text("Above the narrow box", 100, 200), input(100, 300, 80), text("Still above", 100, 350),
        input(100, 500, 600), text("Below", 100, 550)},
       "Above the narrow box\nStill above"},
      {"column of a wide composer: a quarter of its width either side",
       p,
       {text(p, 300, 100), text("left out", 99, 110), text("left edge", 100, 120), text("right edge", 700, 130),
        text("right out", 701, 140), input(200, 500, 400)},
       "left edge\nright edge"},
      {"column of a narrow composer: at least 24 points either side",
       p,
       {text(p, 200, 100), text("left out", 175, 110), text("left edge", 176, 120), text("right edge", 264, 130),
        text("right out", 265, 140), input(200, 500, 40)},
       "left edge\nright edge"},
      {"a composer of unknown width bounds the left side only",
       p,
       {text(p, 200, 100), text("left out", 175, 110), text("far right", 5000, 120), input(200, 500, 0)},
       "far right"},
      {"without an input there is no column and no bottom",
       p,
       {text("Sidebar", 0, 0), text(p, 300, 100), text("Anywhere", 5000, 120), text("Far below", 0, 9000)},
       "Anywhere\nFar below"},
      {"the prompt outside the composer's column is not the anchor",
       p,
       {text(p, 0, 100), text("Reply", 200, 200), input(200, 500, 400)},
       ""},
  });
}

TEST(AXReplyExtractionTest, TheReplyFollowsTheLastAppearanceOfThePrompt) {
  const std::string longPrompt = "Please explain in detail how the incremental build decides which targets to rebuild";
  expectReplies({
      {"matched after folding case and white space",
       "  Fix   THE\nbuild ",
       {text("fix the build", 0, 0), text("Done, it builds now", 0, 10)},
       "Done, it builds now"},
      {"the last appearance wins",
       "Fix the build",
       {text("Fix the build", 0, 0), text("Old answer", 0, 10), text("Fix the build", 0, 20), text("New answer", 0, 30)},
       "New answer"},
      {"shown with more text around its first 60 characters",
       longPrompt,
       {text("You said: " + longPrompt.substr(0, 60) + "\u2026", 0, 0), text("It compares timestamps.", 0, 10)},
       "It compares timestamps."},
      {"one line of a multi-line prompt, 8 characters or more",
       "Summarise this:\nthe quarterly numbers are up",
       {text("Summarise this:", 0, 0), text("the quarterly numbers are up", 0, 10), text("Numbers rose 5%", 0, 20)},
       "Numbers rose 5%"},
      {"a shorter piece of the prompt is no anchor",
       "Summarise this:\nthe quarterly numbers",
       {text("numbers", 0, 0), text("Reply", 0, 10)},
       ""},
      {"a short prompt is found by equality", "hello", {text("Hello", 0, 0), text("Hi!", 0, 10)}, "Hi!"},
      {"a short prompt is found inside a longer text",
       "hello",
       {text("Say hello to Bob", 0, 0), text("Hi Bob!", 0, 10)},
       "Hi Bob!"},
      {"a short prompt is not found from a part of it", "hello", {text("hell", 0, 0), text("Reply", 0, 10)}, ""},
      {"a reply repeating a short prompt does not hide itself",
       "hello",
       {text("hello", 0, 0), text("Hello! How can I help you today?", 0, 10)},
       "Hello! How can I help you today?"},
      {"the prompt is not on screen", "Fix the build", {text("Something else", 0, 0), text("Reply", 0, 10)}, ""},
      {"an empty prompt finds nothing", " \n ", {text("", 0, 0), text("Reply", 0, 10)}, ""},
  });
}

TEST(AXReplyExtractionTest, ChromeLinesAreDropped) {
  const std::vector<std::string> dropped = {
      "",
      "   ",
      "\u2022",
      "\u2192",
      "Thinking",
      "Copy code",
      "  Regenerate\u2026",
      "Done.",
      "YOU",
      "2 min ago",
      "3h",
      "15 days ago",
      "10:42 PM",
      "9:05",
      "10:42:07\u202Fam",
      "Just now",
      "Yesterday",
      "No sources yet",
      "Searching the web",
      "ChatGPT can make mistakes. Check important info.",
      "Gemini may display inaccurate info, including about people",
      "Ask anything",
      "Ask Copilot",
      "Thought for 12s",
      "New feature available!",
      "Feedback submitted.",
  };
  for (const auto& line : dropped) EXPECT_THAT(ax_reply::stripChrome({line}), IsEmpty()) << line;

  const std::vector<std::string> kept = {
      "7",
      "a",
      "Searching the web.",
      "Ask me about the weather in Paris",
      "No sources were found for this query yet",
      "Copy the file first",
      "1234 days",
      "123:45",
      "Sing along",
  };
  for (const auto& line : kept) EXPECT_THAT(ax_reply::stripChrome({line}), ElementsAre(line)) << line;

  EXPECT_THAT(ax_reply::stripChrome({"  Real text \n", "Copy", "More text"}), ElementsAre("Real text", "More text"));
}

TEST(AXReplyExtractionTest, RepeatsOfKeptLinesAreDropped) {
  EXPECT_THAT(ax_reply::stripChrome({"Point one", "\u2022 Point one", "- point  ONE", "Point two", "*ok", "ok",
                                     "\u2022 ok", "Point\u200B two"}),
              ElementsAre("Point one", "Point two", "*ok", "ok"))
      << "lines under four characters stay, but are remembered";
  EXPECT_THAT(ax_reply::stripChrome({"Copy", "\u2022 Copy", "Step one", "Step one"}), ElementsAre("\u2022 Copy", "Step one"))
      << "only kept lines are remembered";
}

TEST(AXReplyExtractionTest, TextHelpers) {
  const std::pair<std::string, std::string> normalized[] = {
      {"  Fix\tthe\n\nBUILD  ", "fix the build"},
      {"\u00C9COLE\u00A0Paris\u2028now", "\u00E9cole paris now"},
      {" \n ", ""},
  };
  for (const auto& [in, out] : normalized) EXPECT_EQ(ax_reply::normalize(in), out) << in;

  const std::pair<std::string, std::string> keys[] = {
      {"\u2022 Point one", "point one"},
      {"**Bold**  item", "bold item"},
      {"Po\u200Bint\u00A0one\uFEFF", "pointone"},
      {"\u2013 well-known \u2014", "wellknown"},
      {"\u2023 \u25E6 x", "x"},
  };
  for (const auto& [in, out] : keys) EXPECT_EQ(ax_reply::dedupKey(in), out) << in;

  const std::pair<std::string, bool> statusLines[] = {
      {"Searching files", true},
      {"Loading", true},
      {"Running " + std::string(71, 'x'), true},
      {"Running " + std::string(72, 'x'), false},
      {"Searching\nfiles", false},
      {"Editing: main.cpp", false},
      {"Reading files, please wait", false},
      {"Sing along", false},
      {"The build is running", false},
  };
  for (const auto& [in, status] : statusLines) EXPECT_EQ(ax_reply::isStatusLine(in), status) << in;
}

// ---- Collecting items from an accessibility tree -----------------------------

class AXTreeTest : public ::testing::Test {
 protected:
  FakeElementPtr newWindow() {
    auto w = element(ax::kWindow);
    w->at(0, 0);
    app.windows.push_back(w);
    return w;
  }
  std::vector<Item> collect() { return ax_reply::collectItems(*desktop, app.root); }

  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>(time->clock());
  FakeApp& app = desktop->addApp({"Chat", "com.example.chat", "", 42, true});
  FakeElementPtr window = newWindow();
};

TEST_F(AXTreeTest, ItemsAreInReadingOrderOnlyOverFourRowsOrMore) {
  for (const auto& t : {staticText("C", 0, 30), staticText("A", 0, 10), staticText("B", 50, 10), staticText("D", 0, 20)})
    window->add(t);
  EXPECT_THAT(describe(collect()), ElementsAre("C@0,30", "A@0,10", "B@50,10", "D@0,20")) << "three rows: tree order";

  window->add(staticText("F", 0, 10)).add(staticText("E", 9, 5));
  EXPECT_THAT(describe(collect()), ElementsAre("E@9,5", "A@0,10", "F@0,10", "B@50,10", "D@0,20", "C@0,30"))
      << "four rows: by row, then column, then tree order";
}

TEST_F(AXTreeTest, RolesDecideWhatIsRead) {
  auto withChild = [](FakeElementPtr e, const std::string& childText) {
    e->add(staticText(childText, 0, 0));
    return e;
  };
  // Two rows only, so that the items stay in tree order.
  auto valued = staticText("Value", 1, 0);
  valued->withTitle("ignored title");
  auto heading = element(ax::kHeading);
  heading->withValue("").withTitle("Heading title").at(10, 0);
  auto link = element(ax::kLink);
  link->description = "Link description";
  auto editable = element(ax::kTextArea);
  editable->settable = true;
  editable->at(5, 0).sized(500, 40);
  auto unknown = element(ax::kTextField);  // cannot say whether it is editable, nor how wide
  auto readOnly = element(ax::kSearchField);
  readOnly->settable = false;
  readOnly->withValue("Read-only value");
  auto emptyReadOnly = element(ax::kComboBox);
  emptyReadOnly->settable = false;
  emptyReadOnly->withValue("");
  auto scroll = element("AXScrollArea");
  scroll->at(7, 7);
  auto positionless = element(ax::kText);
  positionless->withValue("At the parent's position");
  scroll->add(positionless);
  auto noRole = element("");

  window->add(valued)
      .add(heading)
      .add(withChild(link, "Link child"))
      .add(withChild(element(ax::kCell), "Cell child"))
      .add(withChild(editable, "Inside the editor"))
      .add(unknown)
      .add(readOnly)
      .add(emptyReadOnly)
      .add(withChild(element(ax::kButton), "Button child"))
      .add(scroll)
      .add(withChild(noRole, "Under no role"));
  EXPECT_THAT(describe(collect()),
              ElementsAre("Value@1,0", "Heading title@10,0", "Link description@0,0", "Link child@0,0",
                          "Cell child@0,0", "<input 500>@5,0", "<input 0>@0,0", "Read-only value@0,0",
                          "Button child@0,0", "At the parent's position@7,7", "Under no role@0,0"));
}

TEST_F(AXTreeTest, RichBlobsQualifyByLengthAndFormatting) {
  const std::string flat = "a plain sentence that is long enough but flat";
  struct Case {
    std::optional<std::string> description, value, blob;
  };
  const Case cases[] = {
      {"  Steps:\n1. build the project\n2. test  \n", std::nullopt, "Steps:\n1. build the project\n2. test"},
      {"Use ```make``` to build the project", std::nullopt, "Use ```make``` to build the project"},
      {"Lists start with * bold item markers", std::nullopt, "Lists start with * bold item markers"},
      {"# Heading of a long document here", std::nullopt, "# Heading of a long document here"},
      {flat, "- a listed value that is long enough", "- a listed value that is long enough"},
      {flat, flat, std::nullopt},
      {std::string(28, 'a') + "\nb", std::nullopt, std::string(28, 'a') + "\nb"},
      {std::string(27, 'a') + "\nb", std::nullopt, std::nullopt},
      {[] {
         std::string s;
         for (int i = 0; i < 27; ++i) s += "e\u0301";
         return s + "\nb";
       }(),
       std::nullopt, std::nullopt},  // 29 characters in 83 bytes
  };
  for (const auto& c : cases) {
    auto group = element(ax::kGroup);
    group->description = c.description;
    group->value = c.value;
    EXPECT_EQ(ax_reply::richBlob(*desktop, group), c.blob) << c.description.value_or("");
  }
}

TEST_F(AXTreeTest, ARichBlobStandsForItsSubtreeOnce) {
  const std::string blob = "Plan:\n- build the project\n- run the tests";
  auto first = element(ax::kGroup);
  first->description = blob;
  first->at(0, 100).add(staticText("Plan:", 0, 100));
  auto second = element(ax::kButton);
  second->value = "\n" + blob;
  second->at(0, 200).add(staticText("repeated content", 0, 200));
  auto plain = element(ax::kGroup);
  plain->description = "Short\n- list";
  plain->add(staticText("plain child", 0, 300));
  window->add(first).add(second).add(plain);
  EXPECT_THAT(describe(collect()), ElementsAre(blob + "@0,100", "repeated content@0,200", "plain child@0,300"));
}

TEST_F(AXTreeTest, TheWalkIsLimitedInDepth) {
  for (const auto& [leafDepth, found] : {std::pair{70, true}, std::pair{71, false}}) {
    app.windows.clear();
    auto parent = newWindow();
    for (int depth = 1; depth < leafDepth; ++depth) {
      auto group = element(ax::kGroup);
      parent->add(group);
      parent = group;
    }
    parent->add(staticText("leaf", 0, 0));
    EXPECT_EQ(collect().size(), found ? 1u : 0u) << "leaf at depth " << leafDepth;
  }
}

TEST_F(AXTreeTest, TheWalkReadsAtMost8000ElementsOverAllWindows) {
  struct Case {
    std::vector<int> textsPerWindow;
    std::size_t items;
    std::string last;
  };
  const Case cases[] = {
      {{8000}, 7999, "7998"},        // the window is one of the 8000
      {{5000, 5000}, 7998, "2997"},  // the second window gets what the first left
  };
  for (const auto& c : cases) {
    app.windows.clear();
    double row = 0;
    for (int count : c.textsPerWindow) {
      auto w = newWindow();
      for (int i = 0; i < count; ++i) w->add(staticText(std::to_string(i), 0, row++));
    }
    const auto items = collect();
    ASSERT_EQ(items.size(), c.items);
    EXPECT_EQ(items.back().text, c.last);
  }
}

TEST_F(AXTreeTest, ChildrenComeFromEveryChildList) {
  auto shared = staticText("shared", 0, 0);
  auto listsAll = element(ax::kGroup);
  listsAll->add(staticText("child", 0, 0)).add(shared);
  listsAll->childrenInNavigationOrder = {staticText("navigation, not read", 0, 0)};
  listsAll->contents = {shared, staticText("content", 0, 0), shared};
  auto navigationOnly = element(ax::kGroup);
  navigationOnly->childrenInNavigationOrder = {staticText("navigation", 0, 0)};
  window->add(listsAll).add(navigationOnly);
  EXPECT_THAT(describe(collect()), ElementsAre("child@0,0", "shared@0,0", "content@0,0", "navigation@0,0"));
}

TEST_F(AXTreeTest, WithoutWindowsTheApplicationElementIsWalked) {
  app.windows.clear();
  app.root->add(staticText("in the application", 3, 4));
  EXPECT_THAT(describe(collect()), ElementsAre("in the application@3,4"));
  EXPECT_THAT(ax_reply::collectItems(*desktop, nullptr), IsEmpty());
}

// ---- The reader --------------------------------------------------------------

// A chat window: a sidebar, the prompt, interface chrome around a reply that the
// test writes, and the composer with a disclaimer under it.
class AXResponseReaderTest : public AXTreeTest {
 protected:
  AXResponseReaderTest() {
    auto composer = element(ax::kTextArea, "composer");
    composer->settable = true;
    composer->at(300, 700).sized(600, 80);
    window->add(staticText("Fix the login bug", 10, 100))  // the chat's title in the sidebar
        .add(staticText("Fix the login bug", 600, 100))
        .add(staticText("Thinking", 300, 150))
        .add(reply)
        .add(staticText("Copy", 300, 300))
        .add(staticText("2 min ago", 400, 300))
        .add(composer)
        .add(staticText("ChatGPT can make mistakes. Check important info.", 300, 790));
  }
  std::unique_ptr<AXResponseReader> makeReader() {
    return std::make_unique<AXResponseReader>(desktop, 42, "  Fix the login bug\n");
  }

  FakeElementPtr reply = staticText("", 300, 200);
};

TEST_F(AXResponseReaderTest, AsksTheApplicationToExposeItsTreeOnConstructionAndEveryPoll) {
  const std::set<std::string> exposed = {ax::kEnhancedUserInterface, ax::kManualAccessibility};
  auto reader = makeReader();
  EXPECT_EQ(app.root->trueAttributes, exposed);
  app.root->trueAttributes.clear();
  reader->pollStableReply();
  EXPECT_EQ(app.root->trueAttributes, exposed);
}

TEST_F(AXResponseReaderTest, ReturnsTheReplyAfterFourEqualReadings) {
  struct Step {
    std::string onScreen, status;
    std::optional<std::string> returned;
  };
  const std::string first = "Cafe\u0301 is ready";  // 13 characters, 15 bytes
  const std::string second = first + "!";
  const Step steps[] = {
      {"", "no reply yet", std::nullopt},
      {"Cafe\u0301", "growing (4 chars)", std::nullopt},
      {first, "growing (13 chars)", std::nullopt},
      {first, "stable 1/4 (13 chars)", std::nullopt},
      {first, "stable 2/4 (13 chars)", std::nullopt},
      {first, "stable 3/4 (13 chars)", std::nullopt},
      {second, "growing (14 chars)", std::nullopt},
      {second, "stable 1/4 (14 chars)", std::nullopt},
      {second, "stable 2/4 (14 chars)", std::nullopt},
      {second, "stable 3/4 (14 chars)", std::nullopt},
      {second, "stable 4/4 (14 chars)", second},
      {"", "no reply yet", std::nullopt},
      {second, "growing (14 chars)", std::nullopt},
  };
  auto reader = makeReader();
  EXPECT_EQ(reader->lastStatus(), "idle");
  int poll = 0;
  for (const auto& step : steps) {
    ++poll;
    reply->value = step.onScreen;
    EXPECT_EQ(reader->pollStableReply(), step.returned) << "poll " << poll;
    EXPECT_EQ(reader->lastStatus(), step.status) << "poll " << poll;
    EXPECT_EQ(reader->lastReply(), step.onScreen) << "poll " << poll;
  }
}

// An application that was not on the accessibility bus when the prompt was
// pasted (still starting) is looked up again at every poll until it is there.
TEST_F(AXResponseReaderTest, AnApplicationThatJoinsTheBusLaterIsRead) {
  auto lateDesktop = std::make_shared<FakeDesktop>(time->clock());
  AXResponseReader reader(lateDesktop, 42, "Fix the login bug");
  reply->value = "The session cookie expired.";
  EXPECT_EQ(reader.pollStableReply(), std::nullopt);
  EXPECT_EQ(reader.lastStatus(), "no reply yet");
  FakeApp& late = lateDesktop->addApp({"Chat", "com.example.chat", "", 42, true});
  late.windows.push_back(window);
  EXPECT_EQ(reader.pollStableReply(), std::nullopt);
  EXPECT_EQ(reader.lastStatus(), "growing (27 chars)");
  EXPECT_THAT(late.root->trueAttributes, ::testing::Contains(ax::kManualAccessibility)) << "its tree is asked for";
}

TEST_F(AXResponseReaderTest, ReadsNothingWithoutAccessibility) {
  reply->value = "An answer";
  auto reader = makeReader();
  app.root->trueAttributes.clear();
  desktop->trusted = false;
  EXPECT_EQ(reader->pollStableReply(), std::nullopt);
  EXPECT_EQ(reader->lastStatus(), "no Accessibility");
  EXPECT_EQ(reader->lastReply(), "");
  EXPECT_THAT(app.root->trueAttributes, IsEmpty());
}

}  // namespace
}  // namespace deskwave::testing
