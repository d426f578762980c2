#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/executor.h"

namespace deskwave {

// The executors and the time source that components are built with.
// `main` is the one main thread; the others stand for background queues of
// default, utility and user-initiated priority.
struct Runtime {
  std::shared_ptr<Executor> main;
  std::shared_ptr<Executor> background;
  std::shared_ptr<Executor> utility;
  std::shared_ptr<Executor> userInitiated;
  std::shared_ptr<Clock> clock;
};

}  // namespace deskwave
