#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/observable.h"

namespace deskwave {

// The signed-in account, as the bridge needs it.
class AuthState {
 public:
  // Settings key of the account's `sub` claim, the pairing secret.
  static constexpr const char* subKey = "deskwave.auth.sub";

  virtual ~AuthState() = default;

  // The signed-in address; nullopt when signed out.
  Observable<std::optional<std::string>> username;
  // Called when a sign-in establishes an account other than the one that owns
  // the local settings.
  std::function<void()> onAccountChange;
};

}  // namespace deskwave
