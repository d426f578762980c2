#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "account/auth_state.h"
#include "platform/executor.h"
#include "platform/observable.h"
#include "platform/settings_store.h"
#include "tools/ai_tool_store.h"
#include "tools/app_picker.h"
#include "ui/palette.h"

namespace deskwave::ui {

// Builds the tool store of one picker view; `picker` is the window's file dialog.
using ToolStoreFactory = std::function<std::shared_ptr<AIToolStore>(std::shared_ptr<AppPicker> picker)>;

// What the menu and the set-up window need from the bridge: its observable
// state and its operations. The application fills it from its controller
// (see controller_facade.h); tests may fill it from anything.
struct BridgeFacade {
  // Keeps whatever owns the observables below alive as long as the facade.
  std::shared_ptr<void> owner;

  // Observables of the bridge, written on the main thread.
  Observable<bool>* paused = nullptr;
  Observable<bool>* phoneConnected = nullptr;
  Observable<bool>* localActive = nullptr;
  Observable<bool>* keepAwake = nullptr;
  Observable<bool>* started = nullptr;
  Observable<bool>* onboardingDone = nullptr;

  // "Paused", "Online" or "Offline"; "wifi", "globe" or empty; the status colour.
  std::function<std::string()> connectionLabel;
  std::function<std::string()> connectionSymbol;
  std::function<Tone()> statusTone;
  // The tools chosen so far, the "previous" selection of the tool picker.
  std::function<std::vector<std::string>()> selectedTools;

  std::function<void()> togglePause;
  std::function<void()> startBridge;
  std::function<void(bool on)> setKeepAwake;
  // Records a finished onboarding with the chosen tools.
  std::function<void(const std::vector<std::string>&)> completeOnboarding;
  // The settings view's "Save": records the tools and tells the phone.
  std::function<void(const std::vector<std::string>&)> saveToolSelection;
  // Ask the bridge to open / close the set-up window; the bridge calls back
  // through the hooks installed with `installSetupHooks`.
  std::function<void()> showSetup;
  std::function<void()> closeSetup;
  std::function<void(std::function<void()> show, std::function<void()> close)> installSetupHooks;

  std::shared_ptr<AuthState> auth;
  // Read for "deskwave.debug.onboardingStep".
  std::shared_ptr<SettingsStore> settings;
  ToolStoreFactory makeToolStore;
  // The main thread's executor (the Qt event loop in the application).
  std::shared_ptr<Executor> main;
};

}  // namespace deskwave::ui
