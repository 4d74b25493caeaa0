#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <tuple>
#include <utility>

namespace brellis::platform::dispatch {

template <class Sig>
class OnceCallback;

// A callback that runs at most once. Copies share one state: the first run wins and later runs
// are ignored. If the last copy is destroyed without having run, the callback runs with the
// "dropped" arguments given at construction, so that nobody waits for ever on a lost reply.
template <class... Args>
class OnceCallback<void(Args...)> {
 public:
  OnceCallback() = default;
  OnceCallback(std::function<void(Args...)> fn, std::tuple<std::decay_t<Args>...> droppedArgs)
      : state_(std::make_shared<State>(std::move(fn), std::move(droppedArgs))) {}

  // Runs the callback if nobody has yet; returns whether this call ran it.
  bool operator()(Args... args) const {
    if (!state_ || state_->ran.exchange(true)) return false;
    auto fn = std::move(state_->fn);
    fn(std::forward<Args>(args)...);
    return true;
  }
  bool hasRun() const { return state_ && state_->ran.load(); }
  explicit operator bool() const { return state_ != nullptr; }

 private:
  struct State {
    State(std::function<void(Args...)> f, std::tuple<std::decay_t<Args>...> d)
        : fn(std::move(f)), dropped(std::move(d)) {}
    ~State() {
      if (!ran.exchange(true) && fn) std::apply(fn, std::move(dropped));
    }
    std::atomic<bool> ran{false};
    std::function<void(Args...)> fn;
    std::tuple<std::decay_t<Args>...> dropped;
  };
  std::shared_ptr<State> state_;
};

}  // namespace brellis::platform::dispatch
