#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/observable.h"

namespace deskwave::ui {

// Observations that end with their owner (a view). An observable copies its
// observers before notifying, so an observer removed during a notification may
// still be called once: each observer therefore checks that the scope is alive.
class ObserverScope {
 public:
  ObserverScope() = default;
  ObserverScope(const ObserverScope&) = delete;
  ObserverScope& operator=(const ObserverScope&) = delete;
  ~ObserverScope() { clear(); }

  template <class T, class F>
  void observe(Observable<T>& observable, F onChange) {
    std::weak_ptr<int> alive = alive_;
    const auto id = observable.observe([alive, onChange = std::move(onChange)](const T& value) {
      if (alive.lock()) onChange(value);
    });
    undo_.push_back([&observable, id] { observable.unobserve(id); });
  }

  void clear() {
    alive_ = std::make_shared<int>(0);
    auto undo = std::move(undo_);
    undo_.clear();
    for (auto& u : undo) u();
  }

 private:
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::vector<std::function<void()>> undo_;
};

}  // namespace deskwave::ui
