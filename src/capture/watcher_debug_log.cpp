#include "capture/watcher_debug_log.h"

#include "platform/console.h"

#include "platform/file_append.h"
#include "platform/time_format.h"

namespace deskwave {

std::shared_ptr<WatcherDebugLog> WatcherDebugLog::create(std::filesystem::path file, std::shared_ptr<Executor> main,
                                                         std::shared_ptr<Clock> clock, Echo echo) {
  if (!echo) echo = [](std::string_view line) { printLine(line); };
  return std::shared_ptr<WatcherDebugLog>(
      new WatcherDebugLog(std::move(file), std::move(main), std::move(clock), std::move(echo)));
}

WatcherDebugLog::WatcherDebugLog(std::filesystem::path file, std::shared_ptr<Executor> main,
                                 std::shared_ptr<Clock> clock, Echo echo)
    : file_(std::move(file)), main_(std::move(main)), clock_(std::move(clock)), echo_(std::move(echo)) {}

void WatcherDebugLog::log(std::string_view message) {
  std::string line = "[" + localTimeOfDay(clock_->now()) + "] ";
  line += message;
  echo_("[ResponseWatcher] " + line);
  appendToFile(file_, line + "\n");  // failures are ignored: the log must never disturb its caller
  main_->post([weak = weak_from_this(), line = std::move(line)] {
    if (auto self = weak.lock()) self->append(line);
  });
}

void WatcherDebugLog::append(const std::string& line) {
  auto list = entries_.get();
  list.push_back(line);
  if (list.size() > kMaxEntries) list.erase(list.begin(), list.end() - kMaxEntries);
  entries_.assign(std::move(list));
}

}  // namespace deskwave
