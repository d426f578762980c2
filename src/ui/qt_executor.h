#pragma once

#include <memory>

#include "platform/executor.h"

namespace deskwave::ui {

// The main thread's executor when the Qt event loop is the main loop: work runs
// on the thread that created the executor, as events of that thread's loop.
// `post`, `postAfter`, `repeat` and cancelling are safe from any thread. Create
// it on the GUI thread once the QApplication exists; work posted before the
// loop runs waits for it.
class QtExecutor final : public Executor {
 public:
  QtExecutor();
  ~QtExecutor() override;
  QtExecutor(const QtExecutor&) = delete;
  QtExecutor& operator=(const QtExecutor&) = delete;

  void post(std::function<void()> work) override;
  TaskHandle postAfter(Seconds delay, std::function<void()> work) override;
  TaskHandle repeat(Seconds firstDelay, Seconds period, std::function<void()> work) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace deskwave::ui
