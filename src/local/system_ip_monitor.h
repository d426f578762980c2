#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "local/ip_monitor.h"
#include "platform/network_interfaces.h"
#include "platform/runtime.h"

namespace deskwave {

// Keeps `currentIP` current: read at creation, on every network change and every
// 5 seconds; published on the main executor (observers hear every refresh).
class SystemIPMonitor final : public IPMonitor, public std::enable_shared_from_this<SystemIPMonitor> {
 public:
  static constexpr double kRefreshPeriod = 5.0;
  using Enumerate = std::function<std::optional<std::vector<InterfaceAddress>>()>;

  static std::shared_ptr<SystemIPMonitor> create(Runtime runtime, Enumerate enumerate = listInterfaceAddresses,
                                                 bool watchChanges = true,
                                                 std::function<void(const std::string&)> log = {});
  ~SystemIPMonitor() override;

  void refresh() override;

 private:
  SystemIPMonitor(Runtime runtime, Enumerate enumerate) : runtime_(std::move(runtime)), enumerate_(std::move(enumerate)) {}

  Runtime runtime_;
  Enumerate enumerate_;
  std::unique_ptr<NetworkChangeWatcher> watcher_;
  TaskHandle timer_;
};

}  // namespace deskwave
