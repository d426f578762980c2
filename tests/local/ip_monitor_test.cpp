#include <gmock/gmock.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
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

// Why the namespace tests cannot run here, or empty when they can.
std::string namespaceUnavailable() {
  if (::geteuid() != 0) return "needs root to create a network namespace";
  if (std::system("command -v ip >/dev/null 2>&1") != 0) return "needs the ip command (iproute2)";
  return {};
}

constexpr int kNoNamespace = 3;
constexpr int kHung = -1;

// Runs `body` in a forked child that has entered a fresh network namespace and
// returns its exit code: kNoNamespace when the namespace could not be made,
// kHung when the child did not finish within 20 s (it is then killed).
int runInPrivateNetworkNamespace(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -2;
  if (child == 0) {
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(kNoNamespace);
    ::_exit(body());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return kHung;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Brings the namespace's own loopback up and gives it a second address.
bool changeThePrivateNamespace() {
  return std::system("ip link set lo up && ip addr add 10.99.0.1/32 dev lo") == 0;
}

TEST(NetworkChangeWatcherTest, ReportsAnAddressAddedInAPrivateNamespace) {
  if (auto why = namespaceUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const int code = runInPrivateNetworkNamespace([] {
    std::atomic<int> changes{0};
    auto watcher = watchNetworkChanges([&] { ++changes; }, {});
    if (!watcher) return 4;
    if (!changeThePrivateNamespace()) return 5;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (changes == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool sawIt = changes > 0;
    watcher.reset();  // must stop its thread promptly
    return sawIt ? 0 : 6;
  });
  if (code == kNoNamespace) GTEST_SKIP() << "network namespaces are not permitted here";
  EXPECT_EQ(code, 0) << "4: no netlink socket, 5: ip failed, 6: no change reported, -1: hung";
}

// A network change alone (no timer: virtual time stands still) makes the monitor
// read and publish the address again; destroying it afterwards stops its watcher.
TEST(NetworkChangeWatcherTest, MonitorRefreshesOnANetworkChange) {
  if (auto why = namespaceUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const int code = runInPrivateNetworkNamespace([] {
    auto time = VirtualTime::create();
    std::vector<InterfaceAddress> list{v4("eth0", "192.168.1.5")};
    std::string logged;
    auto monitor = SystemIPMonitor::create(
        time->runtime(), [&] { return std::optional(list); }, true, [&](const std::string& line) { logged += line; });
    if (!logged.empty()) return 4;
    time->runUntilIdle();
    if (monitor->currentIP.get() != "192.168.1.5") return 7;
    list = {v4("eth0", "192.168.1.6")};
    if (!changeThePrivateNamespace()) return 5;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (monitor->currentIP.get() != "192.168.1.6" && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      time->runUntilIdle();
    }
    if (time->elapsed() != Seconds(0)) return 8;
    const bool sawIt = monitor->currentIP.get() == "192.168.1.6";
    monitor.reset();
    return sawIt ? 0 : 6;
  });
  if (code == kNoNamespace) GTEST_SKIP() << "network namespaces are not permitted here";
  EXPECT_EQ(code, 0) << "4: no watcher, 5: ip failed, 6: change not published, 7: no first reading, -1: hung";
}

}  // namespace
}  // namespace deskwave
