#include "platform/dispatch/clock.h"

#include <asio/error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <condition_variable>
#include <functional>
#include <list>

#include "platform/dispatch/await_callback.h"

namespace brellis::platform::dispatch {

namespace {

class SystemClock : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  asio::awaitable<void> sleep(Duration duration) override {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(std::max(Duration::zero(), duration));
    co_await timer.async_wait(asio::use_awaitable);
  }
};

}  // namespace

std::shared_ptr<Clock> Clock::system() {
  static std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

// A sleeper is a pending completion: advance() completes the due ones with success, and the
// sleeper's cancellation slot completes it with operation_aborted. Whichever comes first takes
// the handler under the mutex, so each sleeper completes exactly once, and a deadline that
// passes before the wait is initiated is seen by the initiation itself (no lost wake-up).
struct ManualClock::Impl {
  struct Sleeper {
    TimePoint deadline;
    std::function<void(std::error_code)> complete;  // set while the wait is pending
    bool due = false;
  };
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  TimePoint now{};
  std::vector<Duration> requested;
  std::list<std::shared_ptr<Sleeper>> sleepers;

  // Takes the sleeper's pending completion, if any, and runs it outside the mutex.
  void finish(const std::shared_ptr<Sleeper>& sleeper, std::error_code code) {
    std::function<void(std::error_code)> complete;
    {
      std::lock_guard lock(mutex);
      complete = std::move(sleeper->complete);
      sleeper->complete = nullptr;
      sleepers.remove(sleeper);
    }
    changed.notify_all();
    if (complete) complete(code);
  }
};

namespace {

// The pending wait refers to the clock weakly: a suspended sleeper holds its own continuation
// through the clock, so a strong reference back would keep both alive for ever once the test
// that owns the clock lets go of it. A clock already gone drops the callback, which ends the
// sleep with operation_aborted.
auto waitUntilDue(std::weak_ptr<ManualClock::Impl> weakImpl,
                  std::shared_ptr<ManualClock::Impl::Sleeper> sleeper) {
  using Signature = void(std::error_code);
  return awaitCallback<Signature>(
      [weakImpl, sleeper](OnceCallback<Signature> done, asio::cancellation_slot slot) {
        auto impl = weakImpl.lock();
        if (!impl) return;
        {
          std::lock_guard lock(impl->mutex);
          if (!sleeper->due) {
            sleeper->complete = [done](std::error_code code) { done(code); };
            if (slot.is_connected()) {
              slot.assign([weakImpl, sleeper](asio::cancellation_type) {
                if (auto impl = weakImpl.lock()) {
                  impl->finish(sleeper, asio::error::operation_aborted);
                }
              });
            }
            return;
          }
        }
        done(std::error_code());
      },
      std::make_tuple(std::error_code(asio::error::operation_aborted)));
}

}  // namespace

ManualClock::ManualClock() : impl_(std::make_shared<Impl>()) {}

Clock::TimePoint ManualClock::now() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->now;
}

asio::awaitable<void> ManualClock::sleep(Duration duration) {
  auto sleeper = std::make_shared<Impl::Sleeper>();
  auto impl = impl_;
  {
    std::lock_guard lock(impl->mutex);
    sleeper->deadline = impl->now + std::max(Duration::zero(), duration);
    impl->requested.push_back(duration);
    if (sleeper->deadline <= impl->now)
      sleeper->due = true;
    else
      impl->sleepers.push_back(sleeper);
  }
  impl->changed.notify_all();
  auto wait = waitUntilDue(impl, sleeper);
  co_await std::move(wait);
}

void ManualClock::advance(Duration duration) {
  std::vector<std::shared_ptr<Impl::Sleeper>> due;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->now += duration;
    for (auto& sleeper : impl_->sleepers) {
      if (sleeper->due || sleeper->deadline > impl_->now) continue;
      sleeper->due = true;
      due.push_back(sleeper);
    }
  }
  for (auto& sleeper : due) impl_->finish(sleeper, std::error_code());
}

std::vector<Clock::Duration> ManualClock::requestedSleeps() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requested;
}

bool ManualClock::waitForSleeps(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requested.size() >= n; });
}

size_t ManualClock::pendingSleepers() const {
  std::lock_guard lock(impl_->mutex);
  size_t count = 0;
  for (auto& sleeper : impl_->sleepers) count += sleeper->due ? 0 : 1;
  return count;
}

}  // namespace brellis::platform::dispatch
