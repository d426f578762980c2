#include <gmock/gmock.h>

#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTextBrowser>

#include "ui/auth_flow.h"
#include "ui_fixture.h"

namespace deskwave::testing {
namespace {

using ui::SetupStage;

struct StageCase {
  bool signedIn;
  bool onboarded;
  SetupStage stage;
  const char* widget;
};

class SetupStageTest : public UiFixture, public ::testing::WithParamInterface<StageCase> {};

TEST_P(SetupStageTest, WindowShowsTheStageForSignInAndOnboarding) {
  const auto& c = GetParam();
  setSignedIn(c.signedIn);
  setOnboarded(c.onboarded);
  build();
  bridge->showSetup();
  settle();
  ASSERT_NE(window(), nullptr);
  EXPECT_EQ(window()->stage(), c.stage);
  EXPECT_EQ(window()->stageWidget()->objectName().toStdString(), c.widget);
  EXPECT_TRUE(window()->isVisible());
  EXPECT_EQ(window()->size(), QSize(460, 580));
  if (c.stage == SetupStage::welcome) {
    auto* flow = find<ui::AuthFlow>("authFlow");
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->screen(), ui::AuthScreen::signIn);
  }
  // Opening the window never starts the bridge by itself.
  EXPECT_FALSE(controller->started.get());
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, SetupStageTest,
                         ::testing::Values(StageCase{false, false, SetupStage::welcome, "welcomeGate"},
                                           StageCase{false, true, SetupStage::welcome, "welcomeGate"},
                                           StageCase{true, false, SetupStage::onboarding, "onboardingView"},
                                           StageCase{true, true, SetupStage::settings, "settingsContent"}),
                         [](const auto& info) {
                           return std::string(info.param.signedIn ? "SignedIn" : "SignedOut") +
                                  (info.param.onboarded ? "Onboarded" : "NotOnboarded");
                         });

class SetupWindowTest : public UiFixture {
 protected:
  ui::ToolPickerPanel* panel() { return find<ui::ToolPickerPanel>("toolPickerPanel"); }
  void tap(const std::string& tool) {
    ASSERT_NE(panel(), nullptr);
    auto* row = panel()->row(tool);
    ASSERT_NE(row, nullptr) << tool << " is not listed";
    click(row->tapTarget());
    settle();
  }
};

TEST_F(SetupWindowTest, ContinueWaitsForTheScanAndATickedTool) {
  setSignedIn(true);
  setOnboarded(false);
  build();
  controller->launch();
  settle();
  auto* next = find<QPushButton>("continueButton");
  ASSERT_NE(next, nullptr);
  EXPECT_FALSE(next->isEnabled()) << "scanning";
  answerScan({"Cursor", "Zed"});
  ASSERT_NE(panel()->row("Zed"), nullptr);
  EXPECT_FALSE(next->isEnabled()) << "nothing ticked";
  tap("Zed");
  EXPECT_TRUE(next->isEnabled());
  tap("Zed");
  EXPECT_FALSE(next->isEnabled()) << "ticked, then unticked";
  click(panel()->selectAllButton());
  settle();
  EXPECT_TRUE(next->isEnabled());
  EXPECT_EQ(panel()->selectAllButton()->text(), "Deselect all");
}

TEST_F(SetupWindowTest, FinishingOnboardingRecordsToolsStartsTheBridgeAndCloses) {
  setSignedIn(true);
  setOnboarded(false);
  build();
  controller->launch();
  settle();
  answerScan({"Cursor", "Zed"});
  tap("Zed");
  tap("Cursor");
  click(find<QPushButton>("continueButton"));
  settle();
  auto* view = find<ui::OnboardingView>("onboardingView");
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->step(), 1);
  const auto note = find<QTextBrowser>("doneNote")->toPlainText().toStdString();
  EXPECT_NE(note.find("Deskwave now runs from "), std::string::npos);
  EXPECT_NE(note.find(" in your system tray. You can close this window — it keeps working in the background."),
            std::string::npos);

  click(view->finishButton());
  settle();
  // In list order, not in the order ticked.
  EXPECT_EQ(controller->onboarding().selectedTools.get(), (Names{"Cursor", "Zed"}));
  EXPECT_EQ(settings->getStringList(keys::selectedTools), (Names{"Cursor", "Zed"}));
  EXPECT_TRUE(controller->started.get());
  EXPECT_EQ(server->starts, 1);
  EXPECT_EQ(window(), nullptr) << "closed rather than showing the settings view";
}

TEST_F(SetupWindowTest, OnboardingStartsAtTheStoredStep) {
  setSignedIn(true);
  setOnboarded(false);
  settings->setInt("deskwave.debug.onboardingStep", 1);
  build();
  bridge->showSetup();
  settle();
  auto* view = find<ui::OnboardingView>("onboardingView");
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->step(), 1);
}

TEST_F(SetupWindowTest, SaveWaitsForTheScanAndATickedToolAndSavesTheSelection) {
  setSignedIn(true);
  setOnboarded(true);
  build();
  controller->startBridge();
  relay->peerConnected.set(true);
  bridge->showSetup();
  settle();
  click(find<QPushButton>("changeToolsButton"));
  settle();
  auto* sheet = find<ui::ToolPickerSheet>("toolPickerSheet");
  ASSERT_NE(sheet, nullptr);
  EXPECT_FALSE(sheet->saveButton()->isEnabled()) << "scanning";
  answerScan({"Cursor", "Zed"});
  // The previous selection comes back ticked.
  EXPECT_EQ(sheet->store()->selectedTools(), (Names{"Cursor", "Codex"}));
  EXPECT_TRUE(sheet->saveButton()->isEnabled());
  auto* all = sheet->panel()->selectAllButton();
  EXPECT_EQ(all->text(), "Select all");
  click(all);
  settle();
  EXPECT_EQ(sheet->store()->selectedTools(), (Names{"Cursor", "Zed", "Codex"}));
  EXPECT_EQ(all->text(), "Deselect all");
  click(all);
  settle();
  EXPECT_TRUE(sheet->store()->selectedTools().empty());
  EXPECT_FALSE(sheet->saveButton()->isEnabled()) << "nothing ticked";
  tap("Zed");
  click(sheet->saveButton());
  settle();
  EXPECT_EQ(controller->onboarding().selectedTools.get(), (Names{"Zed"}));
  ASSERT_FALSE(relay->tabsSent.empty());
  EXPECT_EQ(relay->tabsSent.back(), (Names{"Zed"}));
  EXPECT_EQ(find<ui::ToolPickerSheet>("toolPickerSheet"), nullptr) << "the sheet closes on save";

  // Opened again, it starts fresh from the saved selection.
  click(find<QPushButton>("changeToolsButton"));
  settle();
  answerScan({"Cursor", "Zed"});
  EXPECT_EQ(find<ui::ToolPickerSheet>("toolPickerSheet")->store()->selectedTools(), (Names{"Zed"}));
}

TEST_F(SetupWindowTest, SignOutShowsTheSignInScreenAndLeavesTheBridgeRunning) {
  setSignedIn(true);
  setOnboarded(true);
  build();
  controller->startBridge();
  bridge->showSetup();
  settle();
  EXPECT_EQ(find<QLabel>("userLabel")->text(), "me@example.com");
  click(find<QPushButton>("signOutButton"));
  settle();
  ASSERT_NE(window(), nullptr);
  EXPECT_EQ(window()->stage(), SetupStage::welcome);
  EXPECT_EQ(find<ui::AuthFlow>("authFlow")->screen(), ui::AuthScreen::signIn);
  EXPECT_EQ(auth->username.get(), std::nullopt);
  EXPECT_TRUE(controller->started.get());
  EXPECT_EQ(server->starts, 1);
}

TEST_F(SetupWindowTest, KeepAwakeSwitchFollowsAndSetsTheController) {
  setSignedIn(true);
  setOnboarded(true);
  build();
  bridge->showSetup();
  settle();
  auto* toggle = find<ui::Switch>("keepAwakeSwitch");
  ASSERT_NE(toggle, nullptr);
  std::vector<std::string> labels;
  for (auto* label : find<QWidget>("keepAwakeRow")->findChildren<QLabel*>()) labels.push_back(label->text().toStdString());
  EXPECT_THAT(labels, ::testing::Contains("Keep this computer awake while running"));
  EXPECT_FALSE(toggle->isChecked());
  click(toggle);
  EXPECT_TRUE(controller->keepAwake.get());
  EXPECT_TRUE(settings->getBool(keys::keepAwake));
  EXPECT_EQ(inhibitor->held.size(), 1u);
  controller->setKeepAwake(false);
  EXPECT_FALSE(toggle->isChecked());
}

struct SignInCase {
  const char* what;
  bool sameAccount;  // the account that owns the local settings signs in again
  bool startsAndCloses;
};

class ReturningUserTest : public UiFixture, public ::testing::WithParamInterface<SignInCase> {};

TEST_P(ReturningUserTest, SigningInWithOnboardingDoneStartsTheBridgeAndCloses) {
  const auto& c = GetParam();
  setSignedIn(false);
  setOnboarded(true);
  settings->setString(AuthState::ownerKey, c.sameAccount ? "me@example.com" : "someone@example.com");
  build();
  controller->launch();
  settle();
  ASSERT_NE(window(), nullptr) << "nobody signed in: the window opens";
  EXPECT_FALSE(controller->started.get());

  auto* flow = find<ui::AuthFlow>("authFlow");
  ASSERT_NE(flow, nullptr);
  QTest::keyClicks(flow->emailField()->edit(), "me@example.com");
  QTest::keyClicks(flow->passwordField()->edit(), "secret password");
  QTest::keyClick(flow->passwordField()->edit(), Qt::Key_Return);  // Return submits too
  settle();
  EXPECT_EQ(cognitoActions(), Names{"InitiateAuth"});
  EXPECT_TRUE(flow->primaryButton()->isBusy());
  EXPECT_FALSE(flow->primaryButton()->isEnabled());
  ASSERT_TRUE(cognitoHttp->respond(200, session("sub-1")));
  settle();

  EXPECT_EQ(controller->started.get(), c.startsAndCloses) << c.what;
  EXPECT_EQ(window() == nullptr, c.startsAndCloses) << c.what;
  if (!c.startsAndCloses) {
    // Another account's settings were wiped: onboarding starts again.
    ASSERT_NE(window(), nullptr);
    EXPECT_EQ(window()->stage(), SetupStage::onboarding);
  }
}

INSTANTIATE_TEST_SUITE_P(Accounts, ReturningUserTest,
                         ::testing::Values(SignInCase{"the same account again", true, true},
                                           SignInCase{"a different account", false, false}),
                         [](const auto& info) { return std::string(info.param.sameAccount ? "Same" : "Different"); });

TEST_F(SetupWindowTest, SignInErrorShowsUnderTheFormAndTheButtonComesBack) {
  setSignedIn(false);
  build();
  bridge->showSetup();
  settle();
  auto* flow = find<ui::AuthFlow>("authFlow");
  flow->emailField()->edit()->setText("me@example.com");
  flow->passwordField()->edit()->setText("wrong");
  click(flow->primaryButton());
  settle();
  cognitoHttp->respond(400, R"({"__type":"NotAuthorizedException","message":"Incorrect username or password."})");
  settle();
  auto* error = find<QLabel>("errorLabel");
  EXPECT_FALSE(error->isHidden());
  EXPECT_FALSE(error->text().isEmpty());
  EXPECT_EQ(error->property("role").toString(), "danger");
  EXPECT_FALSE(flow->primaryButton()->isBusy());
  EXPECT_TRUE(flow->primaryButton()->isEnabled());
}

TEST_F(SetupWindowTest, CreateScreenShowsRulesMismatchAndTheCodePopUp) {
  setSignedIn(false);
  build();
  bridge->showSetup();
  settle();
  auto* flow = find<ui::AuthFlow>("authFlow");
  flow->passwordField()->edit()->setText("left over");
  auth->emailVerified.set(true);
  click(find<QPushButton>("createAccountLink"));
  settle();
  EXPECT_EQ(flow->screen(), ui::AuthScreen::create);
  EXPECT_FALSE(auth->emailVerified.get()) << "creating starts over";
  EXPECT_TRUE(flow->passwordField()->edit()->text().isEmpty());
  EXPECT_TRUE(flow->passwordField()->isHidden()) << "the password comes after the address";
  EXPECT_EQ(flow->primaryButton()->text(), "Verify");

  // Verifying the address: the code pop-up covers the screen.
  flow->emailField()->edit()->setText("new@example.com");
  click(flow->primaryButton());
  settle();
  EXPECT_EQ(cognitoActions(), Names{"SignUp"});
  EXPECT_FALSE(flow->codePopup()->isHidden());
  cognitoHttp->respond(200, "{}");
  settle();
  EXPECT_EQ(find<QLabel>("popupAddress")->text(), "We emailed it to new@example.com");
  flow->popupCodeEdit()->setText("123456");
  click(flow->popupConfirmButton());
  settle();
  EXPECT_EQ(cognitoActions().back(), "ConfirmSignUp");
  cognitoHttp->respond(200, "{}");
  settle();
  EXPECT_TRUE(flow->codePopup()->isHidden());
  ASSERT_TRUE(auth->emailVerified.get());

  // Choosing the password: one row per rule, and the mismatch note.
  EXPECT_FALSE(flow->passwordField()->isHidden());
  EXPECT_EQ(flow->rules()->symbols(), QStringList(5, "circle"));
  flow->passwordField()->edit()->setText("abcdefghijklm");
  EXPECT_EQ(flow->rules()->symbols(), (QStringList{"checkmark.circle.fill", "xmark.circle.fill",
                                                   "checkmark.circle.fill", "xmark.circle.fill", "xmark.circle.fill"}));
  EXPECT_FALSE(find<QLabel>("mismatchLabel")->isHidden());
  EXPECT_FALSE(flow->primaryButton()->isEnabled());
  flow->passwordField()->edit()->setText("Str0ng!Passw0rd");
  flow->confirmField()->edit()->setText("Str0ng!Passw0rd");
  EXPECT_TRUE(find<QLabel>("mismatchLabel")->isHidden());
  EXPECT_TRUE(flow->primaryButton()->isEnabled());
  EXPECT_EQ(flow->primaryButton()->text(), "Create account");

  // The eye shows and hides the same text.
  auto* field = flow->passwordField();
  EXPECT_EQ(field->edit()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(field->eye()->toolTip(), "Show password");
  click(field->eye());
  EXPECT_EQ(field->edit()->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(field->eye()->toolTip(), "Hide password");
  EXPECT_EQ(field->eye()->property("symbol").toString(), "eye.slash");
  EXPECT_EQ(field->edit()->text(), "Str0ng!Passw0rd");
}

TEST_F(SetupWindowTest, ShowSetupReusesOneWindowAboveOthersForAMoment) {
  setSignedIn(false);
  build();
  bridge->showSetup();
  settle();
  ui::SetupWindow* first = window();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->windowFlags() & Qt::WindowStaysOnTopHint);
  time->advance(Seconds(0.7));
  flushQt();
  EXPECT_TRUE(first->windowFlags() & Qt::WindowStaysOnTopHint);
  time->advance(Seconds(0.2));
  flushQt();
  EXPECT_FALSE(first->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(first->isVisible());

  bridge->showSetup();
  settle();
  EXPECT_EQ(window(), first) << "one window only";
  EXPECT_TRUE(first->windowFlags() & Qt::WindowStaysOnTopHint) << "brought to the front again";

  // Closed by its close button: forgotten, and a later showSetup makes a new one.
  first->close();
  settle();
  EXPECT_EQ(window(), nullptr);
  bridge->showSetup();
  settle();
  EXPECT_NE(window(), nullptr);
  bridge->closeSetup();
  settle();
  EXPECT_EQ(window(), nullptr);
}

}  // namespace
}  // namespace deskwave::testing
