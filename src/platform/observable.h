#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <utility>

namespace deskwave {

// A value with a change signal. Written on the main thread only; observers run
// right after the write, on that thread. `set` notifies only when the value
// changes; `assign` notifies on every write.
template <class T>
class Observable {
 public:
  using Observer = std::function<void(const T&)>;

  Observable() = default;
  explicit Observable(T initial) : value_(std::move(initial)) {}
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;

  const T& get() const { return value_; }

  void set(T value) {
    if (value == value_) return;
    assign(std::move(value));
  }

  void assign(T value) {
    value_ = std::move(value);
    notify();
  }

  // Returns an id for `unobserve`.
  std::size_t observe(Observer observer) {
    observers_.emplace(++lastId_, std::move(observer));
    return lastId_;
  }
  void unobserve(std::size_t id) { observers_.erase(id); }

 private:
  void notify() {
    // Copy so that an observer may add or remove observers.
    auto observers = observers_;
    for (auto& [id, observer] : observers) observer(value_);
  }

  T value_{};
  std::map<std::size_t, Observer> observers_;
  std::size_t lastId_ = 0;
};

}  // namespace deskwave
