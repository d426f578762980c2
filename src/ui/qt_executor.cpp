#include "ui/qt_executor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

namespace deskwave::ui {
namespace {

int toMilliseconds(Seconds s) {
  if (!(s.count() > 0)) return 0;
  const double ms = std::ceil(s.count() * 1000.0);
  return ms >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(ms);
}

// Runs on the context's thread: starts a timer owned by the context.
void startTimer(QObject* context, const std::shared_ptr<TaskState>& state, int firstMs, int periodMs, bool repeating,
                const std::shared_ptr<std::function<void()>>& work) {
  if (state->cancelled()) return;
  auto* timer = new QTimer(context);
  timer->setTimerType(Qt::PreciseTimer);
  timer->setSingleShot(!repeating);
  timer->setInterval(firstMs);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, state, periodMs, repeating, work] {
    if (state->cancelled()) {
      timer->stop();
      timer->deleteLater();
      return;
    }
    if (!repeating) {
      timer->deleteLater();
      (*work)();
      return;
    }
    if (timer->interval() != periodMs) timer->setInterval(periodMs);
    (*work)();
    if (state->cancelled()) {
      timer->stop();
      timer->deleteLater();
    } else {
      timer->start();  // a fixed delay: the next run is a whole period after this one ended
    }
  });
  // A cancel on the timer's own thread releases it at once; one from another
  // thread is seen by the timer when it next fires.
  QPointer<QTimer> guarded(timer);
  QThread* home = context->thread();
  state->setCanceller([guarded, home] {
    if (QThread::currentThread() != home || !guarded) return;
    guarded->stop();
    guarded->deleteLater();
  });
  timer->start();
}

}  // namespace

struct QtExecutor::Impl {
  // Lives on the creating thread; every piece of work runs in its context.
  QObject* context = new QObject;

  TaskHandle schedule(Seconds first, Seconds period, bool repeating, std::function<void()> work) {
    auto state = std::make_shared<TaskState>();
    auto shared = std::make_shared<std::function<void()>>(std::move(work));
    const int firstMs = toMilliseconds(first);
    const int periodMs = repeating ? std::max(1, toMilliseconds(period)) : 0;
    // Timers belong to one thread: create it there.
    QMetaObject::invokeMethod(
        context,
        [ctx = context, state, firstMs, periodMs, repeating, shared] {
          startTimer(ctx, state, firstMs, periodMs, repeating, shared);
        },
        Qt::QueuedConnection);
    return TaskHandle(state);
  }
};

QtExecutor::QtExecutor() : impl_(std::make_unique<Impl>()) {}

QtExecutor::~QtExecutor() {
  // Deleting a QObject is only safe on its own thread.
  if (impl_->context->thread() == QThread::currentThread())
    delete impl_->context;
  else
    impl_->context->deleteLater();
}

void QtExecutor::post(std::function<void()> work) {
  QMetaObject::invokeMethod(impl_->context, std::move(work), Qt::QueuedConnection);
}

TaskHandle QtExecutor::postAfter(Seconds delay, std::function<void()> work) {
  return impl_->schedule(delay, Seconds(0), false, std::move(work));
}

TaskHandle QtExecutor::repeat(Seconds firstDelay, Seconds period, std::function<void()> work) {
  return impl_->schedule(firstDelay, period, true, std::move(work));
}

}  // namespace deskwave::ui
