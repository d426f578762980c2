#pragma once

#include <memory>

#include "app/app_controller.h"

namespace deskwave {

// Components whose real implementations are not part of this build yet. Each
// says so once in the debug log when it is first used and otherwise does
// nothing, so the bridge runs with the parts that exist: for now the idle-sleep
// inhibitor. Every other component is left for the caller to supply.
BridgeComponents makeUnbuiltComponents(std::shared_ptr<SettingsStore> settings, std::shared_ptr<WatcherDebugLog> log);

}  // namespace deskwave
