#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/observable.h"
#include "platform/settings_store.h"

namespace deskwave {

using SymmetricKey = std::array<std::uint8_t, 32>;

// Holds the pairing secret (the account id, else a PIN) from which the relay
// room and the payload key are derived with SHA-256. Main thread only.
class PairingManager {
 public:
  static constexpr const char* udKey = "deskwave.relay.pin";
  static constexpr const char* acctKey = "deskwave.relay.account";
  static constexpr const char* roomSuffix = ":Deskwave-room-v1";
  static constexpr const char* keySuffix = ":Deskwave-key-v1";

  explicit PairingManager(std::shared_ptr<SettingsStore> settings);

  // Records the account id in lower case; writes and flushes only when it changed.
  void setAccount(const std::string& id);

  // The account id, else the PIN; an empty string counts as a secret.
  std::optional<std::string> secret() const;
  // The payload key for the current secret; recomputed on every read.
  std::optional<SymmetricKey> symmetricKey() const;

  static std::string sha256Hex(const std::string& s);
  static std::string roomId(const std::string& secret) { return sha256Hex(secret + roomSuffix); }

  Observable<std::optional<std::string>> pin;
  Observable<std::optional<std::string>> accountId;

 private:
  std::shared_ptr<SettingsStore> settings_;
};

}  // namespace deskwave
