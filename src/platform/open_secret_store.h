#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/secret_store.h"

namespace deskwave {

// The secret store for this session: the desktop keyring when one answers,
// else the secrets file of the configuration folder. Logs the choice once.
// Probing the keyring may wait up to a few times `probeTimeout`: call it
// before the main loop or off the main thread.
std::shared_ptr<SecretStore> openSecretStore(std::function<void(const std::string&)> log,
                                             const std::filesystem::path& fallbackFile,
                                             std::chrono::milliseconds probeTimeout = std::chrono::seconds(2));
// The same with the configuration folder of this process's environment.
std::shared_ptr<SecretStore> openSecretStore(std::function<void(const std::string&)> log);

}  // namespace deskwave
