#pragma once

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "phone_link.h"

namespace deskwave::phone {

// How results are printed: for people, or one JSON document per result.
struct Output {
  std::ostream& out;
  bool json = false;
};

struct WatchLimits {
  std::optional<int> count;         // stop after this many replies
  std::optional<double> timeout;    // stop after this many seconds
  const std::atomic<bool>* stop = nullptr;  // set to stop early (Ctrl-C)
};

int sendCommand(PhoneLink& link, Output output, const std::string& target, const std::string& text,
                const std::vector<std::string>& imageFiles);
// Prints each reply once, however often it arrives; fails when `count` replies
// did not arrive before the time-out.
int watchCommand(PhoneLink& link, Output output, const WatchLimits& limits);
int statusCommand(PhoneLink& link, Output output);
int permsCommand(PhoneLink& link, Output output);
int answerCommand(PhoneLink& link, Output output, const std::string& id, const std::string& decision);
int registerPushCommand(PhoneLink& link, Output output, const std::string& token, bool production);
int tabsCommand(PhoneLink& link, Output output);

}  // namespace deskwave::phone
