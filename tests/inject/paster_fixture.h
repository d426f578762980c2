#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "inject/cursor_paster.h"
#include "inject/standard_watcher.h"
#include "platform/virtual_time.h"
#include "support/fake_chat_app.h"
#include "support/temp_home.h"

namespace deskwave::testing {

// A paste pipeline with the product's watchers over a fake desktop, in virtual
// time, with a temporary home.
class PasterTest : public ::testing::Test {
 protected:
  std::shared_ptr<CursorPaster> makePaster() {
    paster = CursorPaster::create(runtime, desktop, log, standardWatcherFactory(runtime, desktop, home.path(), log));
    paster->onResponse = [this](const std::string& target, const std::string& text) {
      replies.push_back(target + "|" + text);
    };
    paster->onPartial = [this](const std::string& target, const std::string& text) {
      partials.push_back(target + "|" + text);
    };
    return paster;
  }

  // Debug-log messages without their time prefix.
  std::vector<std::string> logged(const std::string& prefix = {}) const {
    std::vector<std::string> out;
    for (const auto& line : echoed) {
      const auto end = line.find("] ", line.find("] ") + 2);
      auto message = end == std::string::npos ? line : line.substr(end + 2);
      if (message.rfind(prefix, 0) == 0) out.push_back(message);
    }
    return out;
  }

  // Keystrokes, clicks, focus changes and presses, each as "<seconds> <what>"
  // with the time to the hundredth ("0.75 key primary+A").
  std::vector<std::string> actions(std::vector<std::string> kinds = {"key ", "click ", "focus ", "press "}) const {
    std::vector<std::string> out;
    for (const auto& e : desktop->events())
      for (const auto& kind : kinds)
        if (e.what.rfind(kind, 0) == 0) {
          char stamp[32];
          std::snprintf(stamp, sizeof stamp, "%.2f ", e.at);
          out.push_back(stamp + e.what);
        }
    return out;
  }

  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime runtime = time->runtime();
  std::vector<std::string> echoed;
  std::shared_ptr<WatcherDebugLog> log = WatcherDebugLog::create(
      home.paths().debugLogFile(), runtime.main, runtime.clock,
      [this](std::string_view line) { echoed.emplace_back(line); });
  std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>(runtime.clock);
  std::shared_ptr<CursorPaster> paster;
  std::vector<std::string> replies;
  std::vector<std::string> partials;
};

}  // namespace deskwave::testing
