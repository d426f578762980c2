#include "platform/open_secret_store.h"

#include "platform/file_secret_store.h"
#include "platform/libsecret_store.h"
#include "platform/paths.h"

namespace deskwave {

std::shared_ptr<SecretStore> openSecretStore(std::function<void(const std::string&)> log,
                                             const std::filesystem::path& fallbackFile,
                                             std::chrono::milliseconds probeTimeout) {
  std::string why;
  if (LibsecretStore::probe(probeTimeout, &why)) {
    if (log) log("Secrets: kept in the desktop keyring");
    return std::make_shared<LibsecretStore>(std::move(log));
  }
  if (log) log("Secrets: kept in " + fallbackFile.string() + " (no keyring answered: " + why + ")");
  return std::make_shared<FileSecretStore>(fallbackFile, std::move(log));
}

std::shared_ptr<SecretStore> openSecretStore(std::function<void(const std::string&)> log) {
  return openSecretStore(std::move(log), secretsFile(Paths::fromEnvironment().configDir));
}

}  // namespace deskwave
