#pragma once

#include <chrono>

namespace deskwave {

using WallTime = std::chrono::system_clock::time_point;
using MonoTime = std::chrono::steady_clock::time_point;

// The source of "now" for every component: wall-clock time for stamps that are
// stored or shown, monotonic time for measuring elapsed intervals.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual WallTime now() const = 0;
  virtual MonoTime monotonic() const = 0;
};

class SystemClock final : public Clock {
 public:
  WallTime now() const override { return std::chrono::system_clock::now(); }
  MonoTime monotonic() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace deskwave
