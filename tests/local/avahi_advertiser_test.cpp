// DNS-SD advertisement and lookup through a real Avahi daemon, without touching the
// machine's network. Each case runs in a throw-away sandbox: new network, mount
// and PID namespaces, a private tmpfs on /run holding a private D-Bus system
// bus, and avahi-daemon limited to one end of a veth pair that exists only
// inside the sandbox. The sandbox's first process is PID 1 of its PID
// namespace, so when it ends (normally, by a crash, or killed on time-out) the
// kernel kills every daemon started in it and the network namespace goes away.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_advertiser.h"
#include "platform/service_browser.h"

namespace deskwave {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kType = "_deskwave._tcp";
constexpr const char* kBusAddress = "unix:path=/run/dbus/system_bus_socket";
constexpr const char* kWork = "/run/deskwave-test";  // on the sandbox's own tmpfs
constexpr const char* kOurAddress = "10.250.0.1";
constexpr const char* kPeerAddress = "10.250.0.2";
constexpr auto kSandboxTimeout = 90s;

// Failures found inside the sandbox, sent to the test process through a pipe.
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  bool check(bool ok, const std::string& what) {
    if (!ok) fail(what);
    return ok;
  }
  void fail(const std::string& what) {
    const std::string message = what + '\0';
    for (std::size_t done = 0; done < message.size();) {
      const auto n = ::write(fd_, message.data() + done, message.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
};

struct Result {
  int status;
  std::string output;
};

// Runs a shell command with its output in a file (a daemon it starts may keep
// the output open, so no pipe).
Result sh(const std::string& command) {
  static int counter = 0;
  const std::string out = std::string(kWork) + "/cmd-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  const int status = std::system((command + " >" + out + " 2>&1 </dev/null").c_str());
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  return {status, text.str()};
}

bool must(Report& report, const std::string& command) {
  const auto result = sh(command);
  return report.check(result.status == 0, "`" + command + "` failed: " + result.output);
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 10s) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// Sandbox plumbing: one /run of its own, a D-Bus system bus on it, and an
// avahi-daemon that only uses `interface`.
bool privateRun(Report& report) {
  if (!report.check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
                    std::string("making mounts private: ") + std::strerror(errno)))
    return false;
  if (!report.check(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0,
                    std::string("mounting a tmpfs on /run: ") + std::strerror(errno)))
    return false;
  ::mkdir(kWork, 0755);
  ::mkdir("/run/dbus", 0755);
  ::mkdir("/run/avahi-daemon", 0755);
  return true;
}

bool startBus(Report& report) { return must(report, "dbus-daemon --system --fork"); }

bool avahiOnBus() {
  return sh("dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
            "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Avahi")
             .output.find("boolean true") != std::string::npos;
}

bool startAvahi(Report& report, const std::string& interface, const std::string& hostName) {
  const std::string config = std::string(kWork) + "/avahi-" + interface + ".conf";
  std::ofstream(config) << "[server]\nhost-name=" << hostName << "\nuse-ipv4=yes\nuse-ipv6=no\n"
                        << "allow-interfaces=" << interface << "\nenable-dbus=yes\n"
                        << "[wide-area]\nenable-wide-area=no\n"
                        << "[publish]\npublish-hinfo=no\npublish-workstation=no\n"
                        << "[reflector]\nenable-reflector=no\n";
  if (!must(report, "avahi-daemon -D --no-drop-root --no-chroot --no-rlimits -f " + config)) return false;
  return report.check(eventually(avahiOnBus), "avahi-daemon did not appear on the bus");
}

bool stopAvahi(Report& report) {
  if (!must(report, "avahi-daemon -k")) return false;
  return report.check(eventually([] { return !avahiOnBus(); }), "avahi-daemon did not leave the bus");
}

// The veth pair; both ends start in this namespace.
bool link(Report& report) {
  return must(report,
              std::string("ip link set lo up && ip link add dwtest0 type veth peer name dwtest1 && "
                          "ip addr add ") +
                  kOurAddress + "/24 dev dwtest0 && ip link set dwtest0 up multicast on");
}

// One resolved service as avahi-browse reports it.
struct Seen {
  std::string name;
  std::string address;
  std::string port;
};

// avahi-browse -p writes bytes outside [A-Za-z0-9_-] of a name as \DDD (decimal).
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3)));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Empty when avahi-browse itself fails.
std::optional<std::vector<Seen>> browseOnce() {
  const auto result = sh(std::string("avahi-browse -rpt ") + kType);
  if (result.status != 0) return std::nullopt;
  std::vector<Seen> seen;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ';');) fields.push_back(field);
    // =;interface;protocol;name;type;domain;host;address;port;txt
    if (fields.size() >= 9 && fields[0] == "=" && fields[4] == kType && fields[5] == "local")
      seen.push_back({unescape(fields[3]), fields[7], fields[8]});
  }
  return seen;
}

std::vector<Seen> browse() { return browseOnce().value_or(std::vector<Seen>{}); }

bool published(const std::vector<Seen>& seen, const std::string& name, const std::string& address, int port) {
  for (const auto& s : seen)
    if (s.name == name && s.address == address && s.port == std::to_string(port)) return true;
  return false;
}

bool eventuallySeen(const std::string& name, int port, const std::string& address = kOurAddress) {
  return eventually([&] { return published(browse(), name, address, port); });
}

std::string describe(const std::vector<Seen>& seen) {
  std::string out = "avahi-browse sees:";
  for (const auto& s : seen) out += " [" + s.name + " " + s.address + ":" + s.port + "]";
  return out;
}

// Collects the advertiser's log lines and notes whether any arrived on the
// thread that created the advertiser.
class LogLines {
 public:
  std::function<void(const std::string&)> sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      onCallerThread_ |= std::this_thread::get_id() == caller_;
    };
  }
  int count(const std::string& part) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.find(part) != std::string::npos;
    return n;
  }
  bool eventuallyHas(const std::string& part) {
    return eventually([&] { return count(part) > 0; });
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }
  bool onCallerThread() {
    std::lock_guard lock(mutex_);
    return onCallerThread_;
  }
  std::string all() {
    std::lock_guard lock(mutex_);
    std::string out = "log:";
    for (const auto& line : lines_) out += "\n  " + line;
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread::id caller_ = std::this_thread::get_id();
  bool onCallerThread_ = false;
};

const std::string kWaiting = "no Avahi daemon reachable yet";

// PID 1 of the sandbox: sets up /run, runs the scenario in a child, reaps the
// daemons that get orphaned to it, and ends with the scenario.
int sandboxInit(const std::function<void(Report&)>& scenario, int reportFd) {
  Report report(reportFd);
  if (!privateRun(report)) return 1;
  ::mount("proc", "/proc", "proc", 0, nullptr);  // a /proc that matches the PID namespace; optional
  // libdbus and the Avahi tools find the private bus here; never a bus outside.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", kBusAddress, 1);
  const pid_t runner = ::fork();
  if (runner < 0) return 1;
  if (runner == 0) {
    scenario(report);
    ::_exit(0);
  }
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) return 1;
    if (pid != runner) continue;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    report.fail("the scenario died from signal " + std::to_string(WTERMSIG(status)));
    return 1;
  }
}

struct SandboxOutcome {
  std::vector<std::string> failures;
  std::string ending;  // empty when the sandbox ended cleanly
};

SandboxOutcome runInSandbox(const std::function<void(Report&)>& scenario) {
  SandboxOutcome outcome;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {{}, "pipe2 failed"};
  const pid_t outer = ::fork();
  if (outer < 0) return {{}, "fork failed"};
  if (outer == 0) {
    ::close(fds[0]);
    Report report(fds[1]);
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWPID) != 0) {
      report.fail(std::string("unshare: ") + std::strerror(errno));
      ::_exit(1);
    }
    const pid_t init = ::fork();
    if (init == 0) {
      // Killing the outer process on time-out takes the whole sandbox down.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::_exit(sandboxInit(scenario, fds[1]));
    }
    int status = 0;
    if (init < 0 || ::waitpid(init, &status, 0) != init) ::_exit(1);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  ::close(fds[1]);

  std::string received;
  const auto deadline = Clock::now() + kSandboxTimeout;
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[4096];
    const auto n = ::read(fds[0], buffer, sizeof buffer);
    if (n == 0) break;
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (timedOut) ::kill(outer, SIGKILL);
  int status = 0;
  ::waitpid(outer, &status, 0);

  for (std::size_t start = 0; start < received.size();) {
    const auto end = received.find('\0', start);
    outcome.failures.push_back(received.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (timedOut)
    outcome.ending = "the sandbox timed out";
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    outcome.ending = "the sandbox ended with status " + std::to_string(status);
  return outcome;
}

// Why the sandbox cannot be built here, or empty.
std::string sandboxUnavailable() {
  if (::geteuid() != 0) return "needs root to create network, mount and PID namespaces";
  for (const char* tool : {"ip", "dbus-daemon", "dbus-send", "avahi-daemon", "avahi-browse", "avahi-publish"}) {
    if (std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) != 0)
      return std::string("needs ") + tool + " (dbus, avahi-daemon, avahi-utils, iproute2; scripts/install-deps.sh)";
  }
  const pid_t probe = ::fork();
  if (probe == 0) ::_exit(::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWPID) == 0 ? 0 : 1);
  int status = 0;
  if (probe < 0 || ::waitpid(probe, &status, 0) != probe || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "creating network, mount and PID namespaces is not permitted here";
  return {};
}

class AvahiAdvertiserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const auto why = sandboxUnavailable(); !why.empty()) GTEST_SKIP() << why;
  }

  static void runScenario(const std::function<void(Report&)>& scenario) {
    const auto outcome = runInSandbox(scenario);
    for (const auto& failure : outcome.failures) ADD_FAILURE() << failure;
    EXPECT_EQ(outcome.ending, "");
  }
};

TEST_F(AvahiAdvertiserTest, AdvertisesTheNameTypeAndPortWhenTheDaemonRuns) {
  runScenario([](Report& r) {
    if (!link(r) || !startBus(r) || !startAvahi(r, "dwtest0", "deskwave-test")) return;
    LogLines log;
    auto advertiser = makeAvahiAdvertiser(log.sink());
    advertiser->advertise("Deskwave", kType, 8765);
    r.check(eventuallySeen("Deskwave", 8765), describe(browse()));
    r.check(log.eventuallyHas("DNS-SD: advertising \"Deskwave\" (_deskwave._tcp) on port 8765"), log.all());
    r.check(log.count(kWaiting) == 0, "claimed the running daemon was missing; " + log.all());
  });
}

TEST_F(AvahiAdvertiserTest, SaysOnceThatTheDaemonIsMissingAndAdvertisesWhenItStarts) {
  runScenario([](Report& r) {
    if (!link(r) || !startBus(r)) return;
    LogLines log;
    auto advertiser = makeAvahiAdvertiser(log.sink());
    advertiser->advertise("Deskwave", kType, 8765);
    r.check(log.eventuallyHas(kWaiting), "no waiting line; " + log.all());
    if (!startAvahi(r, "dwtest0", "deskwave-test")) return;
    r.check(eventuallySeen("Deskwave", 8765), describe(browse()));
    r.check(log.eventuallyHas("DNS-SD: advertising \"Deskwave\""), log.all());
    r.check(log.count(kWaiting) == 1, "the waiting line should appear exactly once; " + log.all());
    r.check(!log.onCallerThread(), "logged on the caller's thread instead of Avahi's; " + log.all());
  });
}

TEST_F(AvahiAdvertiserTest, AdvertisesAgainAfterTheDaemonRestarts) {
  runScenario([](Report& r) {
    if (!link(r) || !startBus(r) || !startAvahi(r, "dwtest0", "deskwave-test")) return;
    LogLines log;
    auto advertiser = makeAvahiAdvertiser(log.sink());
    advertiser->advertise("Deskwave", kType, 8765);
    if (!r.check(eventuallySeen("Deskwave", 8765), "before the restart: " + describe(browse()))) return;
    if (!stopAvahi(r)) return;
    r.check(log.eventuallyHas(kWaiting), "no waiting line after the daemon left; " + log.all());
    if (!startAvahi(r, "dwtest0", "deskwave-test")) return;
    // The new daemon starts with an empty cache: seeing the service means it was published again.
    r.check(eventuallySeen("Deskwave", 8765), "after the restart: " + describe(browse()) + "; " + log.all());
  });
}

TEST_F(AvahiAdvertiserTest, ANewAdvertisementReplacesTheOldAndDestructionWithdrawsIt) {
  runScenario([](Report& r) {
    if (!link(r) || !startBus(r) || !startAvahi(r, "dwtest0", "deskwave-test")) return;
    auto advertiser = makeAvahiAdvertiser({});
    advertiser->advertise("Deskwave", kType, 8765);
    if (!r.check(eventuallySeen("Deskwave", 8765), describe(browse()))) return;

    advertiser->advertise("Deskwave", kType, 8766);
    r.check(eventually([] {
              const auto seen = browse();
              return published(seen, "Deskwave", kOurAddress, 8766) && !published(seen, "Deskwave", kOurAddress, 8765);
            }),
            "after re-advertising on 8766: " + describe(browse()));

    advertiser.reset();
    r.check(eventually([] {
              const auto seen = browseOnce();
              return seen && seen->empty();
            }),
            "after destruction: " + describe(browse()));
  });
}

TEST_F(AvahiAdvertiserTest, GivesUpWithOneLineWhenThereIsNoSystemBus) {
  runScenario([](Report& r) {
    LogLines log;
    auto advertiser = makeAvahiAdvertiser(log.sink());
    advertiser->advertise("Deskwave", kType, 8765);
    r.check(log.eventuallyHas("not advertising"), "no line saying it gave up; " + log.all());
    advertiser->advertise("Deskwave", kType, 8766);
    advertiser.reset();  // must not crash with no client
    r.check(log.size() == 1, "expected exactly one line; " + log.all());
  });
}

// Where the service that already holds the name "Deskwave" is published.
enum class Rival { kSameDaemon, kAcrossTheLink };
void PrintTo(Rival rival, std::ostream* out) {
  *out << (rival == Rival::kSameDaemon ? "the same daemon" : "another host");
}

// Publishes "Deskwave" on port 9999 through the bus of this namespace.
void execPublisher() {
  const int quiet = ::open("/dev/null", O_WRONLY);
  ::dup2(quiet, STDOUT_FILENO);
  ::dup2(quiet, STDERR_FILENO);
  ::execlp("avahi-publish", "avahi-publish", "-s", "Deskwave", kType, "9999", static_cast<char*>(nullptr));
}

// A second host on the far end of the veth pair: its own network and mount
// namespaces (inside the sandbox), its own bus and daemon, publishing
// "Deskwave" on port 9999. Returns false (and reports) when it cannot start.
bool startPeerHost(Report& r) {
  int ready[2], go[2];
  if (!r.check(::pipe(ready) == 0 && ::pipe(go) == 0, "pipe failed")) return false;
  const pid_t peer = ::fork();
  if (peer == 0) {
    char byte = 0;
    const bool isolated = ::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0;
    if (!isolated) r.fail(std::string("peer unshare: ") + std::strerror(errno));
    (void)!::write(ready[1], &byte, 1);
    if (!isolated || ::read(go[0], &byte, 1) != 1 || !privateRun(r)) ::_exit(1);
    if (!must(r, std::string("ip link set lo up && ip addr add ") + kPeerAddress +
                     "/24 dev dwtest1 && ip link set dwtest1 up multicast on") ||
        !startBus(r) || !startAvahi(r, "dwtest1", "deskwave-peer"))
      ::_exit(1);
    execPublisher();
    r.fail(std::string("exec avahi-publish: ") + std::strerror(errno));
    ::_exit(1);
  }
  char byte = 0;
  if (!r.check(peer > 0 && ::read(ready[0], &byte, 1) == 1, "the peer host did not start")) return false;
  const bool moved = must(r, "ip link set dwtest1 netns " + std::to_string(peer));
  (void)!::write(go[1], &byte, 1);
  return moved;
}

bool startRival(Report& r, Rival rival) {
  if (rival == Rival::kAcrossTheLink) {
    if (!startPeerHost(r)) return false;
    return r.check(eventuallySeen("Deskwave", 9999, kPeerAddress), "peer not seen: " + describe(browse()));
  }
  const pid_t publisher = ::fork();
  if (publisher == 0) {
    execPublisher();
    ::_exit(127);
  }
  return r.check(eventuallySeen("Deskwave", 9999), "rival not seen: " + describe(browse()));
}

class AvahiAdvertiserCollisionTest : public AvahiAdvertiserTest, public ::testing::WithParamInterface<Rival> {};

TEST_P(AvahiAdvertiserCollisionTest, TakesTheAlternativeNameWhenDeskwaveIsTaken) {
  const Rival rival = GetParam();
  runScenario([rival](Report& r) {
    if (!link(r) || !startBus(r) || !startAvahi(r, "dwtest0", "deskwave-test") || !startRival(r, rival)) return;
    LogLines log;
    auto advertiser = makeAvahiAdvertiser(log.sink());
    advertiser->advertise("Deskwave", kType, 8765);
    r.check(eventuallySeen("Deskwave #2", 8765), describe(browse()) + "; " + log.all());
    r.check(log.eventuallyHas("now \"Deskwave #2\""), "renaming not logged; " + log.all());
    r.check(log.eventuallyHas("DNS-SD: advertising \"Deskwave #2\" (_deskwave._tcp) on port 8765"), log.all());
  });
}

INSTANTIATE_TEST_SUITE_P(Rivals, AvahiAdvertiserCollisionTest,
                         ::testing::Values(Rival::kSameDaemon, Rival::kAcrossTheLink),
                         [](const ::testing::TestParamInfo<Rival>& info) {
                           return info.param == Rival::kSameDaemon ? std::string("OnTheSameDaemon")
                                                                   : std::string("OnAnotherHost");
                         });

// The lookup deskwave-phone uses to find a desktop on the network.
TEST_F(AvahiAdvertiserTest, FindServiceResolvesADesktopOnAnotherHost) {
  runScenario([](Report& r) {
    if (!link(r) || !startBus(r) || !startAvahi(r, "dwtest0", "deskwave-test") ||
        !startRival(r, Rival::kAcrossTheLink))
      return;
    const auto found = findService(kType, Seconds(10));
    if (!r.check(found.has_value(), "nothing found; " + describe(browse()))) return;
    r.check(found->name == "Deskwave", "name " + found->name);
    r.check(found->host == kPeerAddress, "host " + found->host + " (an IPv4 address is preferred)");
    r.check(found->port == 9999, "port " + std::to_string(found->port));
  });
}

TEST_F(AvahiAdvertiserTest, FindServiceGivesUpAtOnceWithoutADaemonAndInTimeWithoutAService) {
  runScenario([](Report& r) {
    auto started = Clock::now();
    r.check(!findService(kType, Seconds(10)).has_value(), "found a service without any daemon");
    r.check(Clock::now() - started < 5s, "waited for a daemon that is not there");
    if (!link(r) || !startBus(r) || !startAvahi(r, "dwtest0", "deskwave-test")) return;
    started = Clock::now();
    r.check(!findService(kType, Seconds(1)).has_value(), "found a service nobody published");
    r.check(Clock::now() - started < 5s, "ignored its time-out");
  });
}

}  // namespace
}  // namespace deskwave
