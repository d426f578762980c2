#include <gmock/gmock.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "local/local_address.h"
#include "local/system_ip_monitor.h"
#include "platform/virtual_time.h"

namespace deskwave {
namespace {

InterfaceAddress v4(std::string name, std::string address, bool up = true) {
  return {std::move(name), true, std::move(address), up, false};
}

TEST(ChooseLocalAddressTest, PicksTheFirstRealIPv4InterfaceInSystemOrder) {
  using List = std::vector<InterfaceAddress>;
  struct Case {
    const char* what;
    std::optional<List> list;
    std::string expected;
  };
  const InterfaceAddress loopback{"lo", true, "127.0.0.1", true, true};
  const InterfaceAddress v6{"eth0", false, "fe80::1", true, false};
  const Case cases[] = {
      {"only eth1", List{loopback, v4("eth1", "192.168.1.20")}, "192.168.1.20"},
      {"first in list order", List{v4("wlan0", "10.0.0.7"), v4("eth0", "10.0.0.8")}, "10.0.0.7"},
      {"IPv6 only", List{loopback, v6}, "Unknown"},
      {"loopback only", List{loopback}, "Unknown"},
      {"virtual only",
       List{v4("docker0", "172.17.0.1"), v4("br-1a2b", "172.18.0.1"), v4("veth12", "169.254.1.1"),
            v4("virbr0", "192.168.122.1"), v4("tun0", "10.8.0.2"), v4("tap1", "10.9.0.2"), v4("wg0", "10.7.0.2"),
            v4("tailscale0", "100.64.0.2"), v4("ztabc", "10.147.17.2")},
       "Unknown"},
      {"down interface skipped", List{v4("eth0", "192.168.1.2", false), v4("eth1", "192.168.1.3")}, "192.168.1.3"},
      {"unconvertible address skipped", List{v4("eth0", ""), v4("eth1", "192.168.1.3")}, "192.168.1.3"},
      {"virtual before real", List{v4("docker0", "172.17.0.1"), v4("enp3s0", "192.168.0.9")}, "192.168.0.9"},
      {"enumeration failed", std::nullopt, "Unknown"},
      {"empty", List{}, "Unknown"},
  };
  for (const auto& c : cases) EXPECT_EQ(chooseLocalAddress(c.list), c.expected) << c.what;
}

TEST(ListInterfaceAddressesTest, ReportsLoopback) {
  const auto list = listInterfaceAddresses();
  ASSERT_TRUE(list);
  const auto lo = std::find_if(list->begin(), list->end(),
                               [](const InterfaceAddress& a) { return a.name == "lo" && a.ipv4; });
  ASSERT_NE(lo, list->end());
  EXPECT_EQ(lo->address, "127.0.0.1");
  EXPECT_TRUE(lo->loopback);
  EXPECT_TRUE(lo->up);
}

class SystemIPMonitorTest : public ::testing::Test {
 protected:
  std::shared_ptr<SystemIPMonitor> make() {
    return SystemIPMonitor::create(time->runtime(), [this] { return list; }, false);
  }
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  std::optional<std::vector<InterfaceAddress>> list = std::vector<InterfaceAddress>{v4("eth0", "192.168.1.5")};
};

TEST_F(SystemIPMonitorTest, PublishesOnTheMainThreadAndRefreshesEveryFiveSeconds) {
  auto monitor = make();
  EXPECT_EQ(monitor->currentIP.get(), "\u2026") << "nothing before the posted refresh runs";
  int notified = 0;
  monitor->currentIP.observe([&](const std::string&) { ++notified; });
  time->runUntilIdle();
  EXPECT_EQ(monitor->currentIP.get(), "192.168.1.5");
  EXPECT_EQ(notified, 1);

  list = std::vector<InterfaceAddress>{v4("wlan0", "10.1.2.3")};
  time->advance(Seconds(4.9));
  EXPECT_EQ(monitor->currentIP.get(), "192.168.1.5");
  time->advance(Seconds(0.1));
  EXPECT_EQ(monitor->currentIP.get(), "10.1.2.3");
  time->advance(Seconds(5));
  EXPECT_EQ(notified, 3) << "every refresh is published, also an unchanged one";
}

TEST_F(SystemIPMonitorTest, NothingHappensOnceTheMonitorIsGone) {
  auto monitor = make();
  monitor.reset();
  time->advance(Seconds(20));
  EXPECT_EQ(time->pendingTasks(), 0u);
}

// Address changes are made in a private network namespace of a child process,
// never on the machine's real interfaces.
TEST(NetworkChangeWatcherTest, ReportsAnAddressAddedInAPrivateNamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
  if (std::system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs the ip command (iproute2)";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(3);
    std::atomic<int> changes{0};
    auto watcher = watchNetworkChanges([&] { ++changes; }, {});
    if (!watcher) ::_exit(4);
    if (std::system("ip link set lo up && ip addr add 10.99.0.1/32 dev lo") != 0) ::_exit(5);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (changes == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool sawIt = changes > 0;
    watcher.reset();  // must stop its thread promptly
    ::_exit(sawIt ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "network namespaces are not permitted here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "4: no netlink socket, 5: ip failed, 6: no change reported";
}

}  // namespace
}  // namespace deskwave
