#include "inject/standard_watcher.h"

#include "capture/ax_response_reader.h"
#include "capture/cursor_db_reader.h"
#include "capture/cursor_transcript_reader.h"
#include "platform/text.h"

namespace deskwave {

CursorPaster::WatcherFactory standardWatcherFactory(Runtime runtime, std::shared_ptr<Desktop> desktop,
                                                    std::filesystem::path home, std::shared_ptr<WatcherDebugLog> log) {
  return [runtime = std::move(runtime), desktop = std::move(desktop), home = std::move(home), log = std::move(log)](
             std::int32_t pid, const std::string& target, const std::string& sentPrompt) {
    WatcherReaders readers;
    if (lowercased(target) == "cursor") {
      readers.db = std::make_shared<CursorDBReader>(sentPrompt, cursorStateDatabasePath(home));
      readers.transcript = std::make_shared<CursorTranscriptReader>(sentPrompt, home, runtime.clock);
    }
    readers.window = std::make_shared<AXResponseReader>(desktop, pid, sentPrompt);
    return ResponseWatcher::create(pid, target, sentPrompt, std::move(readers), runtime, log);
  };
}

}  // namespace deskwave
