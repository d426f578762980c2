#pragma once

#include <cstdint>
#include <string>

namespace deskwave {

// Keeps the machine from idle sleep while an inhibition is held.
class SleepInhibitor {
 public:
  using Token = std::uint64_t;
  virtual ~SleepInhibitor() = default;
  // Always yields a token; a backend that cannot inhibit logs why and hands out
  // a token that holds nothing.
  virtual Token begin(const std::string& reason) = 0;
  virtual void end(Token token) = 0;
};

}  // namespace deskwave
