#include "local/system_ip_monitor.h"

#include "local/local_address.h"

namespace deskwave {

std::shared_ptr<SystemIPMonitor> SystemIPMonitor::create(Runtime runtime, Enumerate enumerate, bool watchChanges,
                                                         std::function<void(const std::string&)> log) {
  auto monitor = std::shared_ptr<SystemIPMonitor>(new SystemIPMonitor(std::move(runtime), std::move(enumerate)));
  std::weak_ptr<SystemIPMonitor> weak = monitor;
  monitor->refresh();
  if (watchChanges) {
    // The watcher's own thread only hands the work on, so that the monitor is
    // never released (and its watcher joined) on that thread.
    auto background = monitor->runtime_.background;
    monitor->watcher_ = watchNetworkChanges(
        [weak, background] {
          background->post([weak] {
            if (auto self = weak.lock()) self->refresh();
          });
        },
        std::move(log));
  }
  monitor->runtime_.main->post([weak] {
    auto self = weak.lock();
    if (!self) return;
    const Seconds period(kRefreshPeriod);
    self->timer_ = self->runtime_.main->repeat(period, period, [weak] {
      if (auto s = weak.lock()) s->refresh();
    });
  });
  return monitor;
}

SystemIPMonitor::~SystemIPMonitor() {
  timer_.cancel();
  watcher_.reset();
}

void SystemIPMonitor::refresh() {
  auto address = chooseLocalAddress(enumerate_());
  runtime_.main->post([weak = weak_from_this(), address = std::move(address)] {
    if (auto self = weak.lock()) self->currentIP.assign(address);
  });
}

}  // namespace deskwave
