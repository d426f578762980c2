#include "app/onboarding_state.h"

#include "app/settings_keys.h"

namespace deskwave {

OnboardingState::OnboardingState(std::shared_ptr<SettingsStore> settings) : settings_(std::move(settings)) {
  selectedTools.assign(settings_->getStringList(keys::selectedTools));
  // A stored tool list counts as finished onboarding.
  done.assign(settings_->getBool(keys::onboardingDone) || !selectedTools.get().empty());
}

void OnboardingState::complete(const std::vector<std::string>& tools) {
  selectedTools.set(tools);
  done.set(true);
  settings_->setStringList(keys::selectedTools, tools);
  settings_->setBool(keys::onboardingDone, true);
  settings_->flush();
}

void OnboardingState::reset() {
  selectedTools.set({});
  done.set(false);
  settings_->remove(keys::selectedTools);
  settings_->setBool(keys::onboardingDone, false);
  settings_->flush();
}

}  // namespace deskwave
