#include <gmock/gmock.h>

#include <functional>

#include "desktop/fixture_app.h"
#include "platform/linux/atspi_accessibility.h"

#include <atspi/atspi-constants.h>

namespace deskwave::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::Optional;

struct Seen {
  std::string role;
  std::string title;
  std::optional<std::string> value;
  std::optional<std::string> placeholder;
  std::optional<bool> settable;
  std::optional<ScreenPoint> position;
  std::optional<ScreenSize> size;
  AXElement element;
};

// Every element under the application's windows, parent before children.
std::vector<Seen> walk(const AXElement& app) {
  std::vector<Seen> out;
  std::function<void(const AXElement&, int)> visit = [&](const AXElement& e, int depth) {
    if (depth > 40) return;
    out.push_back({atspi::stringAttribute(e, ax::kRole).value_or(""), atspi::stringAttribute(e, ax::kTitle).value_or(""),
                   atspi::stringAttribute(e, ax::kValue), atspi::stringAttribute(e, ax::kPlaceholderValue),
                   atspi::isValueSettable(e), atspi::position(e), atspi::size(e), e});
    for (const auto& child : atspi::elementsAttribute(e, ax::kChildren)) visit(child, depth + 1);
  };
  for (const auto& window : atspi::elementsAttribute(app, ax::kWindows)) visit(window, 0);
  return out;
}

const Seen* find(const std::vector<Seen>& all, const std::function<bool(const Seen&)>& wanted) {
  for (const auto& s : all)
    if (wanted(s)) return &s;
  return nullptr;
}

class AtspiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inTestSession()) GTEST_SKIP() << "needs the private desktop of tests/desktop/run_in_session.sh";
    ASSERT_EQ(atspi::connect(), std::nullopt);
    ASSERT_NE(fixture.pid(), 0) << "the fixture chat window did not start";
    ASSERT_TRUE(waitUntil([&] { return atspi::applicationElement(fixture.pid()) != nullptr; }, 10s));
    app = atspi::applicationElement(fixture.pid());
  }

  FixtureApp fixture;
  AXElement app;
};

TEST_F(AtspiTest, TheFixturesTreeReadsInTheLayersTerms) {
  const auto all = walk(app);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().role, ax::kWindow);
  EXPECT_EQ(all.front().title, "Fixture Chat");

  const auto* composer = find(all, [](const Seen& s) { return s.role == ax::kTextArea; });
  ASSERT_TRUE(composer) << "the multi-line composer";
  EXPECT_THAT(composer->settable, Optional(true));
  EXPECT_THAT(composer->value, Optional(std::string()));
  ASSERT_TRUE(composer->position && composer->size);
  EXPECT_GT(composer->size->width, 300);
  EXPECT_GE(composer->size->height, 60);

  const auto* answer = find(all, [](const Seen& s) { return s.role == ax::kTextField; });
  ASSERT_TRUE(answer) << "the single-line answer field";
  EXPECT_THAT(answer->placeholder, Optional(std::string("Type your answer")));
  EXPECT_THAT(answer->settable, Optional(true));
  EXPECT_LT(answer->size->width, composer->size->width);
  EXPECT_GT(answer->position->y, composer->position->y) << "below the composer";

  const auto* send = find(all, [](const Seen& s) { return s.role == ax::kButton && s.title == "Send"; });
  ASSERT_TRUE(send);
  EXPECT_GT(send->position->x, composer->position->x + composer->size->width - 40) << "at the composer's right end";
  EXPECT_THAT(send->settable, Optional(false));

  EXPECT_TRUE(find(all, [](const Seen& s) { return s.role == ax::kButton && s.title == "Submit answer"; }));
  EXPECT_TRUE(atspi::sameElement(composer->element, composer->element));
  EXPECT_FALSE(atspi::sameElement(composer->element, answer->element));
  EXPECT_THAT(atspi::applicationName(fixture.pid()), Optional(::testing::Not(std::string())));
}

TEST_F(AtspiTest, PressingAButtonRunsItsAction) {
  const auto all = walk(app);
  const auto* submit = find(all, [](const Seen& s) { return s.role == ax::kButton && s.title == "Submit answer"; });
  ASSERT_TRUE(submit);
  atspi::press(submit->element);
  EXPECT_EQ(fixture.waitForLine("ANSWER", 5s), "ANSWER \"\"");
}

TEST_F(AtspiTest, AnUnknownProcessAndForeignElementsReadAsAbsent) {
  EXPECT_EQ(atspi::applicationElement(999999), nullptr);
  const AXElement none;
  EXPECT_EQ(atspi::stringAttribute(none, ax::kRole), std::nullopt);
  EXPECT_TRUE(atspi::elementsAttribute(none, ax::kChildren).empty());
  EXPECT_EQ(atspi::isValueSettable(none), std::nullopt);
  atspi::press(none);
  atspi::setTrue(none, ax::kFocused);
}

TEST(AtspiRoleTest, RolesMapToTheLayersNames) {
  const std::vector<std::tuple<int, bool, std::string>> cases = {
      {ATSPI_ROLE_TEXT, true, ax::kTextArea},          {ATSPI_ROLE_TEXT, false, ax::kTextField},
      {ATSPI_ROLE_ENTRY, false, ax::kTextField},       {ATSPI_ROLE_PASSWORD_TEXT, false, ax::kTextField},
      {ATSPI_ROLE_PUSH_BUTTON, false, ax::kButton},    {ATSPI_ROLE_LABEL, false, ax::kStaticText},
      {ATSPI_ROLE_STATIC, false, ax::kStaticText},     {ATSPI_ROLE_PARAGRAPH, true, ax::kStaticText},
      {ATSPI_ROLE_HEADING, false, ax::kHeading},       {ATSPI_ROLE_LINK, false, ax::kLink},
      {ATSPI_ROLE_TABLE_CELL, false, ax::kCell},       {ATSPI_ROLE_PANEL, false, ax::kGroup},
      {ATSPI_ROLE_SECTION, false, ax::kGroup},         {ATSPI_ROLE_FILLER, false, ax::kGroup},
      {ATSPI_ROLE_COMBO_BOX, false, ax::kComboBox},    {ATSPI_ROLE_FRAME, false, ax::kWindow},
  };
  for (const auto& [role, multiLine, name] : cases) EXPECT_EQ(atspi::roleNameFor(role, multiLine), name) << role;
}

}  // namespace
}  // namespace deskwave::testing
