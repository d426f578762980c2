// The idle-sleep inhibitor against a stand-in login manager (fake_logind.py)
// on a private message bus. Run only through run_with_system_bus.sh, which
// points DBUS_SYSTEM_BUS_ADDRESS at that bus.

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>

#include "platform/linux/logind_sleep_inhibitor.h"
#include "support/child_process.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

// The login manager stand-in, ready once it owns its name on the bus.
class FakeLogind : public ChildProcess {
 public:
  FakeLogind() : ChildProcess({"/usr/bin/python3", DESKWAVE_FAKE_LOGIND}) {}
  bool ready() { return next() == "ready"; }
  // Its next event, or a line saying that none came.
  std::string next() { return nextLine().value_or("(no event within 10 s)"); }
};

// Points DBUS_SYSTEM_BUS_ADDRESS elsewhere while it lives.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) : saved_(std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SystemBusAddress() { ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_.c_str(), 1); }

 private:
  std::string saved_;
};

class LogindInhibitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DESKWAVE_TEST_SYSTEM_BUS")) GTEST_SKIP() << "run through run_with_system_bus.sh";
  }

  LogindSleepInhibitor::Log recordTo(std::vector<std::string>& lines) {
    return [&lines](const std::string& line) { lines.push_back(line); };
  }

  TempHome home_;
};

TEST_F(LogindInhibitorTest, EachBeginHoldsOneIdleLockUntilItsEnd) {
  FakeLogind logind;
  ASSERT_TRUE(logind.ready());
  std::vector<std::string> logged;
  auto inhibitor = std::make_unique<LogindSleepInhibitor>(recordTo(logged));

  const auto first = inhibitor->begin("Deskwave keeping the Mac awake so your phone can always reach it");
  EXPECT_EQ(logind.next(), "inhibit 1 idle|Deskwave|Deskwave keeping the Mac awake so your phone can always "
                               "reach it|block");
  const auto second = inhibitor->begin("second reason ✓");
  EXPECT_EQ(logind.next(), "inhibit 2 idle|Deskwave|second reason ✓|block");
  EXPECT_NE(first, second);

  inhibitor->end(second);
  EXPECT_EQ(logind.next(), "released 2") << "ending one lock leaves the other held";
  inhibitor->end(second);
  inhibitor->end(first);
  EXPECT_EQ(logind.next(), "released 1") << "ending a token twice releases nothing else";

  inhibitor->begin("held at shutdown");
  EXPECT_EQ(logind.next(), "inhibit 3 idle|Deskwave|held at shutdown|block");
  inhibitor.reset();
  EXPECT_EQ(logind.next(), "released 3") << "a lock still held goes with the inhibitor";
  EXPECT_THAT(logged, ::testing::IsEmpty());
}

TEST_F(LogindInhibitorTest, WithoutALoginManagerSaysSoOnceAndStillHandsOutTokens) {
  const std::string privateBus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  struct Case {
    const char* name;
    std::string address;
  };
  const Case cases[] = {
      {"no system bus", "unix:path=" + (home_.path() / "no-bus-here").string()},
      {"a bus without a login manager", privateBus},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> logged;
    LogindSleepInhibitor inhibitor(recordTo(logged));
    std::set<SleepInhibitor::Token> tokens;
    {
      SystemBusAddress bus(c.address);
      for (int i = 0; i < 3; ++i) tokens.insert(inhibitor.begin("no lock to be had"));
      for (const auto token : tokens) inhibitor.end(token);
    }
    EXPECT_THAT(tokens, SizeIs(3)) << "every begin gets a token of its own";
    ASSERT_THAT(logged, SizeIs(1));
    EXPECT_THAT(logged[0], HasSubstr("Keep-awake"));

    // Once the login manager is there, the next begin takes a lock after all.
    FakeLogind logind;
    ASSERT_TRUE(logind.ready());
    const auto token = inhibitor.begin("now it answers");
    EXPECT_EQ(logind.next(), "inhibit 1 idle|Deskwave|now it answers|block");
    inhibitor.end(token);
    EXPECT_EQ(logind.next(), "released 1");
    EXPECT_THAT(logged, SizeIs(1));
  }
}

TEST_F(LogindInhibitorTest, ALoginManagerThatNeverAnswersHoldsTheCallerNoLongerThanTheTimeout) {
  FakeLogind logind;
  ASSERT_TRUE(logind.ready());
  std::vector<std::string> logged;
  LogindSleepInhibitor inhibitor(recordTo(logged), std::chrono::milliseconds(300));

  const auto started = std::chrono::steady_clock::now();
  inhibitor.begin("never answer");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_THAT(logged, SizeIs(1));

  const auto token = inhibitor.begin("answered");
  EXPECT_EQ(logind.next(), "inhibit 1 idle|Deskwave|answered|block") << "the connection stays usable";
  inhibitor.end(token);
  EXPECT_EQ(logind.next(), "released 1");
}

}  // namespace
}  // namespace deskwave::testing
