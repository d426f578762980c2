#pragma once

#include <filesystem>
#include <memory>

#include "inject/cursor_paster.h"

namespace deskwave {

// Watchers with the product's readers: for Cursor its state database under
// `home` and its transcripts, with the window reader as backup; for every
// other application the window reader alone.
CursorPaster::WatcherFactory standardWatcherFactory(Runtime runtime, std::shared_ptr<Desktop> desktop,
                                                    std::filesystem::path home, std::shared_ptr<WatcherDebugLog> log);

}  // namespace deskwave
