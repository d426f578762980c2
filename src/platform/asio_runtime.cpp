#include "platform/asio_runtime.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <vector>

namespace deskwave {
namespace {

namespace asio = boost::asio;

std::chrono::steady_clock::duration toSteady(Seconds s) {
  if (s.count() < 0) return {};
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(s);
}

class AsioExecutor final : public Executor {
 public:
  explicit AsioExecutor(asio::any_io_executor ex) : ex_(std::move(ex)) {}

  void post(std::function<void()> work) override { asio::post(ex_, std::move(work)); }

  TaskHandle postAfter(Seconds delay, std::function<void()> work) override {
    auto state = std::make_shared<TaskState>();
    auto timer = makeTimer(toSteady(delay));
    state->setCanceller(cancellerFor(timer));
    timer->async_wait([timer, state, work = std::move(work)](const boost::system::error_code& ec) {
      if (ec || state->cancelled()) return;
      work();
    });
    return TaskHandle(state);
  }

  TaskHandle repeat(Seconds firstDelay, Seconds period, std::function<void()> work) override {
    auto state = std::make_shared<TaskState>();
    auto timer = makeTimer(toSteady(firstDelay));
    state->setCanceller(cancellerFor(timer));
    arm(timer, state, toSteady(period), std::make_shared<std::function<void()>>(std::move(work)));
    return TaskHandle(state);
  }

 private:
  static void arm(std::shared_ptr<asio::steady_timer> timer, std::shared_ptr<TaskState> state,
                  std::chrono::steady_clock::duration period,
                  std::shared_ptr<std::function<void()>> work) {
    timer->async_wait([timer, state, period, work](const boost::system::error_code& ec) {
      if (ec || state->cancelled()) return;
      (*work)();
      if (state->cancelled()) return;
      // Fixed delay: the next run starts a whole period after this one ended,
      // so a slow run never makes the next ones catch up back to back.
      timer->expires_after(period);
      arm(timer, state, period, work);
    });
  }

  // Each timer gets its own strand: on the background pool its handler and a
  // cancel from another thread would otherwise run at the same time.
  std::shared_ptr<asio::steady_timer> makeTimer(std::chrono::steady_clock::duration delay) {
    return std::make_shared<asio::steady_timer>(asio::make_strand(ex_), delay);
  }

  static std::function<void()> cancellerFor(const std::shared_ptr<asio::steady_timer>& timer) {
    std::weak_ptr<asio::steady_timer> weak = timer;
    auto ex = timer->get_executor();
    // Timers are not thread-safe: cancel on the timer's own strand.
    return [weak, ex] {
      asio::post(ex, [weak] {
        if (auto t = weak.lock()) t->cancel();
      });
    };
  }

  asio::any_io_executor ex_;
};

}  // namespace

struct AsioRuntime::Impl {
  explicit Impl(std::size_t threads) : pool(threads) {}
  // Declared before `main` so that it is destroyed after it: work still queued
  // on the main loop may own sockets and streams whose services live in the pool.
  asio::thread_pool pool;
  asio::io_context main;
  asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(main);
  std::unique_ptr<asio::signal_set> signals;
  std::vector<std::unique_ptr<asio::signal_set>> handledSignals;
};

AsioRuntime::AsioRuntime(std::size_t backgroundThreads)
    : impl_(std::make_unique<Impl>(backgroundThreads == 0 ? 1 : backgroundThreads)) {
  runtime_.main = std::make_shared<AsioExecutor>(impl_->main.get_executor());
  runtime_.background = std::make_shared<AsioExecutor>(impl_->pool.get_executor());
  runtime_.utility = std::make_shared<AsioExecutor>(impl_->pool.get_executor());
  runtime_.userInitiated = std::make_shared<AsioExecutor>(impl_->pool.get_executor());
  runtime_.clock = std::make_shared<SystemClock>();
}

AsioRuntime::~AsioRuntime() {
  impl_->signals.reset();
  impl_->handledSignals.clear();
  stop();
  impl_->pool.join();
}

asio::io_context& AsioRuntime::mainContext() { return impl_->main; }
asio::thread_pool& AsioRuntime::pool() { return impl_->pool; }

void AsioRuntime::runMainLoop() { impl_->main.run(); }

void AsioRuntime::stopOnSignals() {
  impl_->signals = std::make_unique<asio::signal_set>(impl_->main, SIGINT, SIGTERM);
  impl_->signals->async_wait([this](const boost::system::error_code& ec, int) {
    if (!ec) stop();
  });
}

namespace {
void waitForSignal(asio::signal_set& set, std::shared_ptr<std::function<void()>> handler) {
  set.async_wait([&set, handler](const boost::system::error_code& ec, int) {
    if (ec) return;
    (*handler)();
    waitForSignal(set, handler);
  });
}
}  // namespace

void AsioRuntime::onSignal(int signal, std::function<void()> handler) {
  auto& set = *impl_->handledSignals.emplace_back(std::make_unique<asio::signal_set>(impl_->main, signal));
  waitForSignal(set, std::make_shared<std::function<void()>>(std::move(handler)));
}

void AsioRuntime::stop() {
  impl_->guard.reset();
  impl_->main.stop();
  impl_->pool.stop();
}

}  // namespace deskwave
