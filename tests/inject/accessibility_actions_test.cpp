#include <gmock/gmock.h>

#include "inject/accessibility_actions.h"
#include "inject/paster_fixture.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// One application window whose children a test fills in.
class ActionsTest : public PasterTest {
 protected:
  ActionsTest() {
    window->at(0, 0).sized(1000, 1000);
    app.windows.push_back(window);
  }

  FakeElementPtr textArea(std::string id, std::optional<bool> settable, double x = 100, double y = 800,
                          double w = 600, double h = 60) {
    auto e = element(ax::kTextArea, std::move(id));
    e->at(x, y).sized(w, h).withValue("");
    e->settable = settable;
    return e;
  }
  FakeElementPtr button(std::string id, double x, double y, double w = 30, double h = 30) {
    auto e = element(ax::kButton, std::move(id));
    e->at(x, y).sized(w, h);
    return e;
  }

  FakeApp& app = desktop->addApp({"Chat", "chat.desktop", "/usr/bin/chat", 500});
  FakeElementPtr window = element(ax::kWindow, "window");
  AccessibilityActions actions{desktop, log};
};

struct ComposerCase {
  std::string name;
  std::vector<FakeElementPtr> fields;
  std::string expected;                  // id of the composer, empty for none
  std::vector<std::string> focusAndClick;
};

TEST_F(ActionsTest, FocusComposerPrefersTheLastEditableTextArea) {
  auto make = [&](std::string id, std::string role, std::optional<bool> settable, double w = 600, double h = 60) {
    auto e = element(std::move(role), std::move(id));
    e->at(100, 800).sized(w, h);
    e->settable = settable;
    return e;
  };
  const std::vector<ComposerCase> cases = {
      {"editable beats an earlier read-only one",
       {make("editable", ax::kTextArea, true), make("read-only", ax::kTextArea, false)},
       "editable",
       {"focus editable", "click 400,830"}},
      {"of two editable ones the later wins",
       {make("first", ax::kTextArea, true), make("second", ax::kTextArea, true)},
       "second",
       {"focus second", "click 400,830"}},
      {"unknown settability counts as editable",
       {make("unknown", ax::kTextArea, std::nullopt), make("read-only", ax::kTextArea, false)},
       "unknown",
       {"focus unknown", "click 400,830"}},
      {"a read-only text area beats a text field",
       {make("read-only", ax::kTextArea, false), make("field", ax::kTextField, true)},
       "read-only",
       {"focus read-only", "click 400,830"}},
      {"a search field serves when nothing else does",
       {make("search", ax::kSearchField, true), make("button", ax::kButton, std::nullopt)},
       "search",
       {"focus search", "click 400,830"}},
      {"a 0x0 composer is focused but not clicked", {make("tiny", ax::kTextArea, true, 0, 0)}, "tiny", {"focus tiny"}},
      {"a 4-point-high composer is not clicked", {make("thin", ax::kTextArea, true, 600, 4)}, "thin", {"focus thin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window->children = c.fields;
    desktop->clearEvents();
    AccessibilityActions fresh{desktop, log};
    fresh.focusComposer(500);
    ASSERT_TRUE(fresh.composer());
    EXPECT_EQ(static_cast<FakeElement&>(*fresh.composer()).id, c.expected);
    EXPECT_EQ(desktop->eventTexts(), c.focusAndClick);
  }
  EXPECT_TRUE(app.root->trueAttributes.count(ax::kManualAccessibility));
}

TEST_F(ActionsTest, AMissingComposerKeepsTheOneFoundBefore) {
  auto composer = textArea("composer", true);
  composer->value = "draft";
  window->add(composer);
  actions.focusComposer(500);
  EXPECT_EQ(actions.composerText(), "draft");

  window->children.clear();
  actions.focusComposer(500);
  EXPECT_EQ(actions.composerText(), "draft");
  composer->value.reset();
  EXPECT_EQ(actions.composerText(), "") << "a value that is not a string reads as empty";

  AccessibilityActions none{desktop, log};
  EXPECT_EQ(none.composerText(), "");
  none.pressSendButton(500);
  EXPECT_THAT(desktop->eventTexts("press"), IsEmpty());
}

TEST_F(ActionsTest, ChildrenFallBackToContentsAndTheWalkStopsBelowDepthSixty) {
  // window (depth 0) → group … → text area at `depth`.
  auto chainTo = [&](int depth) {
    window->children.clear();
    auto parent = window;
    for (int d = 1; d < depth; ++d) {
      auto group = element(ax::kGroup, "g");
      (d % 2 ? parent->children : parent->contents).push_back(group);
      parent = group;
    }
    auto composer = textArea("deep composer", true);
    parent->children.push_back(composer);
    return composer;
  };
  chainTo(60);
  AccessibilityActions found{desktop, log};
  found.focusComposer(500);
  EXPECT_TRUE(found.composer());

  chainTo(61);
  AccessibilityActions tooDeep{desktop, log};
  tooDeep.focusComposer(500);
  EXPECT_FALSE(tooDeep.composer());
}

TEST_F(ActionsTest, FocusComposerStopsWhenTheBudgetOfSixThousandElementsIsSpent) {
  auto filler = element(ax::kGroup, "filler");
  for (int i = 0; i < 5998; ++i) filler->add(element(ax::kStaticText, "t"));
  window->add(filler);  // window + filler + 5998 texts = 6000 elements
  window->add(textArea("late composer", true));
  actions.focusComposer(500);
  EXPECT_FALSE(actions.composer());

  filler->children.pop_back();
  actions.focusComposer(500);
  EXPECT_TRUE(actions.composer());
}

TEST_F(ActionsTest, SendButtonIsTheNearestSmallButtonAtTheComposersRightEnd) {
  // Composer 100..700 wide, middle at y 830.
  struct Case {
    std::string name;
    std::vector<FakeElementPtr> buttons;
    std::vector<std::string> pressed;
  };
  const std::vector<Case> cases = {
      {"up to 40 points inside the right edge", {button("inside", 645, 815)}, {"press inside"}},  // middle x 660
      {"more than 40 points inside is not it", {button("too far in", 640, 815)}, {}},            // middle x 655
      {"the nearer of two to the right",
       {button("far", 760, 815), button("near", 710, 815), button("farther", 800, 815)},
       {"press near"}},
      {"a strictly closer one replaces, a tie does not",
       {button("first", 710, 815), button("tie", 710, 815)},
       {"press first"}},
      {"60 points above the middle is ignored", {button("above", 710, 755)}, {}},  // middle y 770
      {"59 points below the middle counts", {button("below", 710, 874)}, {"press below"}},  // middle y 889
      {"wide and tall buttons are not send buttons", {button("wide", 710, 815, 120, 30), button("tall", 710, 780, 30, 120)}, {}},
  };
  auto composer = textArea("composer", true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window->children = {composer};
    for (const auto& b : c.buttons) window->add(b);
    actions.focusComposer(500);
    desktop->clearEvents();
    actions.pressSendButton(500);
    EXPECT_EQ(desktop->eventTexts("press"), c.pressed);
  }
}

TEST_F(ActionsTest, PressButtonMatchesAPartOfTheLabelInAnyCase) {
  auto described = button("described", 10, 10);
  described->description = "Deny this request";
  auto submit = button("submit", 50, 10);
  submit->withTitle("Submit answer");
  auto second = button("second submit", 90, 10);
  second->withTitle("Submit");
  window->add(described).add(submit).add(second);

  actions.pressButton(500, "Submit");
  actions.pressButton(500, "DENY THIS");
  actions.pressButton(500, "");
  const std::string longTitle(50, 'x');
  actions.pressButton(500, longTitle);
  EXPECT_THAT(desktop->eventTexts("press"), ElementsAre("press submit", "press described"));
  EXPECT_THAT(logged("QUESTION"),
              ElementsAre("QUESTION: pressed option \"Submit\" in Claude",
                          "QUESTION: pressed option \"DENY THIS\" in Claude",
                          "QUESTION: \u26A0\uFE0F option button not found for \"\"",
                          "QUESTION: \u26A0\uFE0F option button not found for \"" + std::string(40, 'x') + "\""));
}

TEST_F(ActionsTest, FocusFieldWithPlaceholderFocusesTheFirstMatchingField) {
  auto search = element(ax::kSearchField, "search");
  search->placeholder = "Search answers";
  search->at(0, 0).sized(100, 20);
  auto answer = element(ax::kTextField, "answer");
  answer->placeholder = "Type your ANSWER here";
  answer->at(100, 600).sized(400, 2);
  auto later = element(ax::kTextArea, "later");
  later->placeholder = "another answer";
  window->add(search).add(answer).add(later);

  actions.focusFieldWithPlaceholder(500, "answer");
  EXPECT_THAT(desktop->eventTexts(), ElementsAre("focus answer", "click 300,601")) << "clicked when wider than 4";

  window->children = {search};
  actions.focusFieldWithPlaceholder(500, "answer");
  EXPECT_THAT(logged("QUESTION"), ElementsAre("QUESTION: \u26A0\uFE0F Other field not found"));
}

}  // namespace
}  // namespace deskwave::testing
