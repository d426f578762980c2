#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/observable.h"
#include "platform/settings_store.h"

namespace deskwave {

// Whether onboarding is finished and which AI tools the user chose.
// Main thread only.
class OnboardingState {
 public:
  explicit OnboardingState(std::shared_ptr<SettingsStore> settings);

  void complete(const std::vector<std::string>& tools);
  void reset();

  Observable<bool> done{false};
  Observable<std::vector<std::string>> selectedTools;

 private:
  std::shared_ptr<SettingsStore> settings_;
};

}  // namespace deskwave
