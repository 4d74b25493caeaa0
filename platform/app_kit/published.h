#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace brellis::platform::app_kit {

// Ends a subscription when cancelled or destroyed (Combine's AnyCancellable).
class AnyCancellable {
 public:
  AnyCancellable() = default;
  explicit AnyCancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  AnyCancellable(AnyCancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
  AnyCancellable& operator=(AnyCancellable&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, {});
    }
    return *this;
  }
  AnyCancellable(const AnyCancellable&) = delete;
  AnyCancellable& operator=(const AnyCancellable&) = delete;
  ~AnyCancellable() { cancel(); }

  void cancel() {
    if (auto cancel = std::exchange(cancel_, {})) cancel();
  }

 private:
  std::function<void()> cancel_;
};

using CancellableSet = std::vector<AnyCancellable>;

// A published property (Combine's @Published). Subscribing delivers the current value at once;
// then every assignment delivers the new value, also when it equals the old one, and the
// subscribers run before the property takes the value (a subscriber that reads the property
// still sees the old value). Subscribers run on the assigning thread, outside any lock, in
// subscription order.
//
// The value itself is guarded, so reading it from another thread is not a data race; the order
// of assignments is the caller's business (the token manager assigns on the main thread only).
template <class T>
class Published {
 public:
  using Subscriber = std::function<void(const T&)>;

  explicit Published(T initial) : state_(std::make_shared<State>(std::move(initial))) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  T get() const {
    std::lock_guard lock(state_->mutex);
    return state_->value;
  }

  void set(T value) {
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    {
      std::lock_guard lock(state_->mutex);
      for (const auto& [id, subscriber] : state_->subscribers) subscribers.push_back(subscriber);
    }
    for (const auto& subscriber : subscribers) (*subscriber)(value);
    std::lock_guard lock(state_->mutex);
    state_->value = std::move(value);
  }

  // The subscription lasts until the returned object is cancelled or destroyed. It does not
  // keep the property alive; cancelling after the property is gone does nothing.
  [[nodiscard]] AnyCancellable sink(Subscriber subscriber) {
    auto shared = std::make_shared<Subscriber>(std::move(subscriber));
    uint64_t id;
    T current;
    {
      std::lock_guard lock(state_->mutex);
      id = state_->nextId++;
      state_->subscribers.emplace(id, shared);
      current = state_->value;
    }
    (*shared)(current);
    std::weak_ptr<State> weak = state_;
    return AnyCancellable([weak, id] {
      if (auto state = weak.lock()) {
        std::lock_guard lock(state->mutex);
        state->subscribers.erase(id);
      }
    });
  }

 private:
  struct State {
    explicit State(T initial) : value(std::move(initial)) {}
    mutable std::mutex mutex;
    T value;
    uint64_t nextId = 0;
    std::map<uint64_t, std::shared_ptr<Subscriber>> subscribers;
  };
  std::shared_ptr<State> state_;
};

}  // namespace brellis::platform::app_kit
