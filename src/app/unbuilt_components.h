#pragma once

#include <memory>

#include "app/app_controller.h"

namespace deskwave {

class HttpClient;
class SecretStore;

// Components whose real implementations are not part of this build yet. Each
// says so once in the debug log when it is first used and otherwise does
// nothing, so the bridge runs with the parts that exist. The account state is
// the real one, over `http` and `secrets`; without an HTTP client its requests
// fail with "no network client", and without a secret store its tokens are kept
// for this run only. The local server, the address monitor, the relay client,
// the paste pipeline and the transcript monitors are left for the caller to
// supply.
BridgeComponents makeUnbuiltComponents(std::shared_ptr<Executor> main, std::shared_ptr<SettingsStore> settings,
                                       std::shared_ptr<WatcherDebugLog> log, std::shared_ptr<HttpClient> http,
                                       std::shared_ptr<SecretStore> secrets);

}  // namespace deskwave
