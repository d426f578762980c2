#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/sleep_inhibitor.h"

typedef struct _GDBusConnection GDBusConnection;

namespace deskwave {

// Keeps the computer from idle sleep with "idle" inhibitor locks taken from
// the login manager (systemd-logind or elogind) on the system bus. Each begin
// takes one lock, held as long as its file descriptor stays open; end closes
// it. Without a system bus or a login manager the first failure is logged (one
// line, once) and begin hands out tokens that hold nothing. Every bus exchange
// is bounded by `timeout`, so the calling thread is never held long. The bus
// is the one named by DBUS_SYSTEM_BUS_ADDRESS when that is set.
class LogindSleepInhibitor final : public SleepInhibitor {
 public:
  using Log = std::function<void(const std::string&)>;
  explicit LogindSleepInhibitor(Log log, std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Releases every lock still held.
  ~LogindSleepInhibitor() override;
  LogindSleepInhibitor(const LogindSleepInhibitor&) = delete;
  LogindSleepInhibitor& operator=(const LogindSleepInhibitor&) = delete;

  Token begin(const std::string& reason) override;
  void end(Token token) override;

 private:
  // The lock's descriptor, or -1 with `why` filled in.
  int inhibit(const std::string& reason, std::string& why);
  bool connect(std::chrono::steady_clock::time_point deadline, std::string& why);

  const Log log_;
  const std::chrono::milliseconds timeout_;
  std::mutex mutex_;
  GDBusConnection* bus_ = nullptr;
  std::map<Token, int> locks_;
  Token last_ = 0;
  bool saidUnavailable_ = false;
};

}  // namespace deskwave
