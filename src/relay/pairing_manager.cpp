#include "relay/pairing_manager.h"

#include "platform/crypto.h"
#include "platform/text.h"

namespace deskwave {

PairingManager::PairingManager(std::shared_ptr<SettingsStore> settings) : settings_(std::move(settings)) {
  pin.assign(settings_->getString(udKey));
  accountId.assign(settings_->getString(acctKey));
}

void PairingManager::setAccount(const std::string& id) {
  auto lower = lowercased(id);
  if (accountId.get() == lower) return;
  accountId.assign(lower);
  settings_->setString(acctKey, lower);
  settings_->flush();
}

std::optional<std::string> PairingManager::secret() const {
  if (accountId.get()) return accountId.get();
  return pin.get();
}

std::optional<SymmetricKey> PairingManager::symmetricKey() const {
  auto s = secret();
  if (!s) return std::nullopt;
  return sha256(*s + keySuffix);
}

std::string PairingManager::sha256Hex(const std::string& s) { return deskwave::sha256Hex(s); }

}  // namespace deskwave
