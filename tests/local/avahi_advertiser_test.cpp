// DNS-SD advertisement through a real Avahi daemon. Everything runs in a child
// process with its own network and mount namespaces: a private D-Bus system bus
// and an Avahi daemon limited to a veth pair that exists only in that namespace,
// so nothing is ever announced on the machine's real network.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_advertiser.h"

namespace deskwave {
namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

std::string browse() {
  std::string out;
  if (FILE* p = ::popen("avahi-browse -rpt _deskwave._tcp 2>/dev/null", "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  return out;
}

// True when, within a few seconds, one resolved line of avahi-browse holds
// the service name and the port.
bool browseFinds(const std::string& name, const std::string& port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto out = browse();
    std::size_t start = 0;
    while (start < out.size()) {
      auto end = out.find('\n', start);
      if (end == std::string::npos) end = out.size();
      const auto line = out.substr(start, end - start);
      if (line.starts_with("=;") && line.find(";" + name + ";_deskwave._tcp;local;") != std::string::npos &&
          line.find(";10.250.0.1;" + port + ";") != std::string::npos)
        return true;
      start = end + 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

// Sets up the namespace's bus and network; exit codes name what failed.
void isolate() {
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) ::_exit(90);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(91);
  if (::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) ::_exit(91);
  if (!run("mkdir -p /run/dbus /run/avahi-daemon && ip link set lo up"
           " && ip link add dwtest0 type veth peer name dwtest1"
           " && ip addr add 10.250.0.1/24 dev dwtest0 && ip addr add 10.250.0.2/24 dev dwtest1"
           " && ip link set dwtest0 up multicast on && ip link set dwtest1 up multicast on"))
    ::_exit(92);
  if (!run("dbus-daemon --system --fork")) ::_exit(93);
  std::ofstream("/run/avahi-test.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=dwtest0\n"
                                           "enable-dbus=yes\n[publish]\npublish-hinfo=no\npublish-workstation=no\n";
}

bool startAvahi() {
  if (!run("avahi-daemon -D --no-drop-root --no-chroot -f /run/avahi-test.conf")) return false;
  // Wait until the daemon answers on the bus.
  for (int i = 0; i < 50; ++i) {
    if (run("avahi-daemon -c")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void stopEverything() {
  run("avahi-daemon -k");
  run("kill $(cat /run/dbus/pid)");
}

// Runs `scenario` in an isolated child; returns its exit code (0 = passed).
int inNamespace(void (*scenario)()) {
  const pid_t child = ::fork();
  if (child == 0) {
    isolate();
    scenario();
    ::_exit(0);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return 99;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

class AvahiAdvertiserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network and mount namespaces";
    if (!run("command -v avahi-daemon && command -v avahi-browse && command -v dbus-daemon && command -v ip"))
      GTEST_SKIP() << "needs avahi-daemon, avahi-utils, dbus and iproute2 (scripts/install-deps.sh)";
  }
  static void expectPassed(int code) {
    EXPECT_EQ(code, 0) << "90-93: isolation failed, 94: daemon did not start, 95: not advertised, "
                          "96: no waiting line, 97: no alternative name, 99: timed out";
  }
};

TEST_F(AvahiAdvertiserTest, AdvertisesTheServiceOnItsPort) {
  expectPassed(inNamespace([] {
    if (!startAvahi()) ::_exit(94);
    std::vector<std::string> lines;
    std::mutex mutex;
    auto advertiser = makeAvahiAdvertiser([&](const std::string& l) {
      std::lock_guard lock(mutex);
      lines.push_back(l);
    });
    advertiser->advertise("Deskwave", "_deskwave._tcp", 8765);
    const bool found = browseFinds("Deskwave", "8765");
    advertiser.reset();
    stopEverything();
    ::_exit(found ? 0 : 95);
  }));
}

TEST_F(AvahiAdvertiserTest, WaitsForADaemonThatStartsLater) {
  expectPassed(inNamespace([] {
    std::vector<std::string> lines;
    std::mutex mutex;
    auto advertiser = makeAvahiAdvertiser([&](const std::string& l) {
      std::lock_guard lock(mutex);
      lines.push_back(l);
    });
    advertiser->advertise("Deskwave", "_deskwave._tcp", 8765);
    bool saidWaiting = false;
    {
      std::lock_guard lock(mutex);
      for (const auto& l : lines) saidWaiting |= l.find("no Avahi daemon reachable yet") != std::string::npos;
    }
    if (!startAvahi()) ::_exit(94);
    const bool found = browseFinds("Deskwave", "8765");
    advertiser.reset();
    stopEverything();
    ::_exit(!saidWaiting ? 96 : found ? 0 : 95);
  }));
}

TEST_F(AvahiAdvertiserTest, TakesAnAlternativeNameWhenTheNameIsTaken) {
  expectPassed(inNamespace([] {
    if (!startAvahi()) ::_exit(94);
    std::FILE* other = ::popen("avahi-publish -s Deskwave _deskwave._tcp 9999 2>&1", "r");
    if (!browseFinds("Deskwave", "9999")) ::_exit(95);
    auto advertiser = makeAvahiAdvertiser({});
    advertiser->advertise("Deskwave", "_deskwave._tcp", 8765);
    // avahi-browse escapes the blank and "#" of "Deskwave #2".
    const bool found = browseFinds("Deskwave\\032\\0352", "8765");
    advertiser.reset();
    run("pkill -f 'avahi-publish -s Deskwave'");
    ::pclose(other);
    stopEverything();
    ::_exit(found ? 0 : 97);
  }));
}

}  // namespace
}  // namespace deskwave
