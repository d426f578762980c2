#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/runtime.h"

namespace boost::asio {
class io_context;
class thread_pool;
}  // namespace boost::asio

namespace deskwave {

// Real executors on Boost.Asio: the main thread is an io_context run by
// `runMainLoop` on the calling thread; background queues share a small pool.
class AsioRuntime {
 public:
  explicit AsioRuntime(std::size_t backgroundThreads = 2);
  ~AsioRuntime();
  AsioRuntime(const AsioRuntime&) = delete;
  AsioRuntime& operator=(const AsioRuntime&) = delete;

  const Runtime& runtime() const { return runtime_; }
  boost::asio::io_context& mainContext();
  boost::asio::thread_pool& pool();

  // Runs the main loop on the calling thread until `stop()`.
  void runMainLoop();
  void stop();
  // Stops the main loop on SIGINT or SIGTERM.
  void stopOnSignals();
  // Runs `handler` on the main loop each time `signal` arrives, for as long as the runtime lives.
  void onSignal(int signal, std::function<void()> handler);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Runtime runtime_;
};

}  // namespace deskwave
