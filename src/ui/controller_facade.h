#pragma once

#include <memory>
#include <utility>

#include "ui/bridge_facade.h"

namespace deskwave::ui {

// Fills a BridgeFacade from the application's bridge controller. A template so
// that the interface does not depend on the controller's library: any type
// with the controller's members fits. Header only; the application calls it
// with its AppController.
template <class Controller>
BridgeFacade makeBridgeFacade(std::shared_ptr<Controller> c, std::shared_ptr<Executor> main,
                              ToolStoreFactory makeToolStore) {
  BridgeFacade f;
  f.owner = c;
  f.paused = &c->paused;
  f.phoneConnected = &c->phoneConnected;
  f.localActive = &c->localActive;
  f.keepAwake = &c->keepAwake;
  f.started = &c->started;
  f.onboardingDone = &c->onboarding().done;
  Controller* raw = c.get();  // kept alive by `owner`
  f.connectionLabel = [raw] { return raw->connectionLabel(); };
  f.connectionSymbol = [raw] { return raw->connectionSymbol(); };
  f.statusTone = [raw] {
    using ControllerTone = decltype(raw->statusTone());
    const auto tone = raw->statusTone();
    if (tone == ControllerTone::paused) return Tone::paused;
    if (tone == ControllerTone::online) return Tone::online;
    return Tone::offline;
  };
  f.selectedTools = [raw] { return raw->onboarding().selectedTools.get(); };
  f.togglePause = [raw] { raw->togglePause(); };
  f.startBridge = [raw] { raw->startBridge(); };
  f.setKeepAwake = [raw](bool on) { raw->setKeepAwake(on); };
  f.completeOnboarding = [raw](const std::vector<std::string>& tools) { raw->onboarding().complete(tools); };
  f.saveToolSelection = [raw](const std::vector<std::string>& tools) { raw->saveToolSelection(tools); };
  f.showSetup = [raw] { raw->showSetup(); };
  f.closeSetup = [raw] { raw->closeSetup(); };
  f.installSetupHooks = [raw](std::function<void()> show, std::function<void()> close) {
    raw->onShowSetup = std::move(show);
    raw->onCloseSetup = std::move(close);
  };
  f.auth = c->components().auth;
  f.settings = c->components().settings;
  f.makeToolStore = std::move(makeToolStore);
  f.main = std::move(main);
  return f;
}

}  // namespace deskwave::ui
