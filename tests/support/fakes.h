#pragma once

// Recording fakes of the components the bridge controller drives.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/ai_cockpit_monitor.h"
#include "capture/claude_monitor.h"
#include "delivery/push_sender.h"
#include "local/http_server.h"
#include "local/ip_monitor.h"
#include "platform/sleep_inhibitor.h"
#include "relay/relay_client.h"

namespace deskwave::testing {

using Pair = std::pair<std::string, std::string>;

// Calls noted in order across fakes, when a test hands the same journal to several.
using Journal = std::vector<std::string>;
inline void note(Journal* journal, std::string entry) {
  if (journal) journal->push_back(std::move(entry));
}

class FakeHTTPServer final : public HTTPServer {
 public:
  void start() override { ++starts; }
  void startTurn(const std::string& tab) override { turnsStarted.push_back(tab); }
  void setSuppressed(const std::string& tab, bool on) override { suppressed.emplace_back(tab, on); }
  void updatePartial(const std::string& tab, const std::optional<std::string>& text) override {
    partials.emplace_back(tab, text);
  }
  void filePermission(PermissionEntry entry) override { filed.push_back(std::move(entry)); }
  void permClearQuestions() override { ++questionClears; }
  void setPaused(bool p) override { paused = p; }

  int starts = 0;
  std::vector<std::string> turnsStarted;
  std::vector<std::pair<std::string, bool>> suppressed;
  std::vector<std::pair<std::string, std::optional<std::string>>> partials;
  std::vector<PermissionEntry> filed;
  int questionClears = 0;
  bool paused = false;
};

class FakeRelayClient final : public RelayClient {
 public:
  void start(const std::string& room, const SymmetricKey& k) override {
    rooms.push_back(room);
    key = k;
  }
  void sendResponse(const OutboxItem& item) override { sent.push_back(item); }
  void sendTabs(const std::vector<std::string>& tabs) override {
    tabsSent.push_back(tabs);
    note(journal, "sendTabs");
  }

  std::vector<std::string> rooms;
  std::optional<SymmetricKey> key;
  std::vector<OutboxItem> sent;
  std::vector<std::vector<std::string>> tabsSent;
  Journal* journal = nullptr;
};

class FakeClaudeMonitor final : public ClaudeMonitor {
 public:
  void start() override { ++starts; }
  int starts = 0;
};

class FakeCockpitMonitor final : public AICockpitMonitor {
 public:
  void start() override { ++starts; }
  int starts = 0;
};

struct Push {
  std::string title;
  std::string body;
  bool alwaysAlert;
  bool operator==(const Push&) const = default;
};

class FakePushSender final : public PushSender {
 public:
  void setDeviceToken(const std::string& token, bool sandbox) override { tokens.emplace_back(token, sandbox); }
  void send(const std::string& title, const std::string& body, bool alwaysAlert) override {
    pushes.push_back(Push{title, body, alwaysAlert});
  }
  std::vector<std::pair<std::string, bool>> tokens;
  std::vector<Push> pushes;
};

class FakeIPMonitor final : public IPMonitor {
 public:
  void refresh() override { ++refreshes; }
  int refreshes = 0;
};

class FakeSleepInhibitor final : public SleepInhibitor {
 public:
  Token begin(const std::string& reason) override {
    reasons.push_back(reason);
    held.push_back(++last);
    return last;
  }
  void end(Token token) override {
    ended.push_back(token);
    std::erase(held, token);
  }
  std::vector<std::string> reasons;
  std::vector<Token> held;
  std::vector<Token> ended;
  Token last = 0;
};

}  // namespace deskwave::testing
