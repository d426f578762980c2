#include "platform/network_interfaces.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace deskwave {

std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> out;
  for (auto* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || !entry->ifa_name) continue;
    InterfaceAddress a;
    a.name = entry->ifa_name;
    a.ipv4 = entry->ifa_addr->sa_family == AF_INET;
    a.up = (entry->ifa_flags & IFF_UP) != 0;
    a.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    const socklen_t length = a.ipv4 ? sizeof(sockaddr_in)
                             : entry->ifa_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                      : 0;
    char host[1025];
    if (length > 0 && ::getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
      a.address = host;
    out.push_back(std::move(a));
  }
  ::freeifaddrs(list);
  return out;
}

namespace {

class NetlinkWatcher final : public NetworkChangeWatcher {
 public:
  NetlinkWatcher(int socketFd, int stopFd, std::function<void()> onChange)
      : socket_(socketFd), stop_(stopFd), thread_([this, onChange = std::move(onChange)] { run(onChange); }) {}

  ~NetlinkWatcher() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(socket_);
    ::close(stop_);
  }

 private:
  void run(const std::function<void()>& onChange) {
    char buffer[8192];
    for (;;) {
      pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      // Drain the whole batch, then report once. ENOBUFS means the kernel dropped
      // messages because the queue overflowed: something changed all the same.
      bool changed = false;
      for (;;) {
        const auto n = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
          changed = true;
        } else if (n < 0 && errno == ENOBUFS) {
          changed = true;
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;
        }
      }
      if (changed && onChange) onChange();
    }
  }

  int socket_;
  int stop_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<NetworkChangeWatcher> watchNetworkChanges(std::function<void()> onChange,
                                                         std::function<void(const std::string&)> log) {
  auto say = [&](const std::string& line) {
    if (log) log(line);
  };
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    say(std::string("Network: cannot watch address changes: ") + std::strerror(errno));
    return nullptr;
  }
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    say(std::string("Network: cannot watch address changes: ") + std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  const int stop = ::eventfd(0, EFD_CLOEXEC);
  if (stop < 0) {
    ::close(fd);
    say("Network: cannot watch address changes: no event descriptor");
    return nullptr;
  }
  try {
    return std::make_unique<NetlinkWatcher>(fd, stop, std::move(onChange));
  } catch (const std::system_error& error) {
    ::close(fd);
    ::close(stop);
    say(std::string("Network: cannot watch address changes: ") + error.what());
    return nullptr;
  }
}

}  // namespace deskwave
