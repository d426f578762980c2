#pragma once

// The set-up window: sign-in, onboarding and settings, and the host that
// opens and closes it. Qt inside: for the interface's sources and tests only.

#include <QPointer>
#include <QStackedWidget>
#include <QTextBrowser>
#include <functional>
#include <memory>

#include "ui/auth_flow.h"
#include "ui/bridge_facade.h"
#include "ui/tool_picker.h"

namespace deskwave::ui {

using BridgeRef = std::shared_ptr<const BridgeFacade>;

// The brand header above the sign-in form.
class WelcomeGate : public QWidget {
 public:
  WelcomeGate(std::shared_ptr<AuthState> auth, QWidget* parent = nullptr);
  AuthFlow* authFlow() const { return flow_; }

 private:
  AuthFlow* flow_;
};

// Choosing the tools, then the note on where Deskwave lives from now on.
class OnboardingView : public QWidget {
 public:
  static constexpr const char* stepKey = "deskwave.debug.onboardingStep";

  OnboardingView(BridgeRef bridge, std::shared_ptr<AppPicker> picker,
                 std::function<void(const std::vector<std::string>&)> onComplete, QWidget* parent = nullptr);

  int step() const { return step_; }
  QPushButton* continueButton() const { return continue_; }
  QPushButton* finishButton() const { return finish_; }
  ToolPickerPanel* panel() const { return panel_; }
  const std::shared_ptr<AIToolStore>& store() const { return store_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void setStep(int step, bool animated);
  void refresh();

  BridgeRef bridge_;
  std::shared_ptr<AIToolStore> store_;
  std::function<void(const std::vector<std::string>&)> onComplete_;
  int step_ = 0;
  bool loaded_ = false;
  ObserverScope observers_;
  QStackedWidget* pages_;
  ToolPickerPanel* panel_;
  BrandButton* continue_;
  BrandButton* finish_;
};

// The settings view of a signed-in, onboarded user.
class SettingsContent : public QWidget {
 public:
  SettingsContent(BridgeRef bridge, std::shared_ptr<AppPicker> picker, std::function<void()> onClose,
                  QWidget* parent = nullptr);

  // Opens a fresh tool picker (a new store) with the current selection.
  void openToolPicker();
  ToolPickerSheet* toolPicker() const { return sheet_; }
  QPushButton* signOutButton() const { return signOut_; }
  QPushButton* changeToolsButton() const { return changeTools_; }
  Switch* keepAwakeSwitch() const { return keepAwake_; }
  QPushButton* closeButton() const { return close_; }
  StatusRow* statusRow() const { return status_; }

 private:
  void closeToolPicker();

  BridgeRef bridge_;
  std::shared_ptr<AppPicker> picker_;
  ObserverScope observers_;
  QStackedWidget* pages_;
  QPointer<ToolPickerSheet> sheet_;
  StatusRow* status_;
  QLabel* user_;
  QPushButton* signOut_;
  QPushButton* changeTools_;
  Switch* keepAwake_;
  QPushButton* close_;
};

// Which stage the window shows.
enum class SetupStage { welcome, onboarding, settings };
SetupStage chooseStage(bool signedIn, bool onboardingDone);

// The window's content: one stage at a time, chosen again whenever the
// account or the onboarding state changes.
class SetupWindow : public QWidget {
 public:
  SetupWindow(BridgeRef bridge, std::function<void()> onClose, std::function<void()> onUserClose,
              QWidget* parent = nullptr);

  SetupStage stage() const { return stage_; }
  QWidget* stageWidget() const { return current_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void evaluate();
  void showStage(SetupStage stage);

  BridgeRef bridge_;
  std::function<void()> onClose_;
  std::function<void()> onUserClose_;
  std::shared_ptr<AppPicker> picker_;
  ObserverScope observers_;
  bool signedIn_ = false;
  SetupStage stage_ = SetupStage::welcome;
  QWidget* current_ = nullptr;
};

// Opens the one set-up window (creating it when needed) above everything for
// a moment, and closes and forgets it.
class SetupWindowHost {
 public:
  static constexpr double kStayOnTopSeconds = 0.8;

  explicit SetupWindowHost(BridgeRef bridge) : bridge_(std::move(bridge)) {}
  ~SetupWindowHost();

  void show();
  void close();
  SetupWindow* window() const { return window_.data(); }

 private:
  BridgeRef bridge_;
  QPointer<SetupWindow> window_;
  TaskHandle lowerLater_;
};

}  // namespace deskwave::ui
