#include "platform/dispatch/clock.h"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <condition_variable>
#include <list>

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

// Each sleeper waits on a timer that never expires by itself; advance() cancels the timers of
// the sleepers that are due, and the sleeper tells that wake-up from a real cancellation by the
// `due` flag.
struct ManualClock::Impl {
  struct Sleeper {
    TimePoint deadline;
    asio::steady_timer* timer;
    asio::any_io_executor executor;
    bool due = false;
  };
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  TimePoint now{};
  std::vector<Duration> requested;
  std::list<std::shared_ptr<Sleeper>> sleepers;
};

ManualClock::ManualClock() : impl_(std::make_shared<Impl>()) {}

Clock::TimePoint ManualClock::now() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->now;
}

asio::awaitable<void> ManualClock::sleep(Duration duration) {
  auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor);
  timer.expires_at(asio::steady_timer::time_point::max());
  auto sleeper = std::make_shared<Impl::Sleeper>();
  sleeper->timer = &timer;
  sleeper->executor = executor;
  auto impl = impl_;
  {
    std::lock_guard lock(impl->mutex);
    sleeper->deadline = impl->now + std::max(Duration::zero(), duration);
    impl->requested.push_back(duration);
    if (sleeper->deadline <= impl->now) sleeper->due = true;
    else impl->sleepers.push_back(sleeper);
  }
  impl->changed.notify_all();
  if (sleeper->due) co_return;
  std::exception_ptr failure;
  try {
    co_await timer.async_wait(asio::use_awaitable);
  } catch (...) {
    failure = std::current_exception();
  }
  bool due;
  {
    std::lock_guard lock(impl->mutex);
    impl->sleepers.remove(sleeper);
    sleeper->timer = nullptr;
    due = sleeper->due;
  }
  impl->changed.notify_all();
  if (!due && failure) std::rethrow_exception(failure);
}

void ManualClock::advance(Duration duration) {
  std::lock_guard lock(impl_->mutex);
  impl_->now += duration;
  for (auto& sleeper : impl_->sleepers) {
    if (sleeper->due || sleeper->deadline > impl_->now) continue;
    sleeper->due = true;
    // The timer belongs to the sleeper's executor; cancel it there. The sleeper removes itself
    // (under the mutex) before its timer is destroyed, so the pointer is valid while listed.
    asio::post(sleeper->executor, [impl = impl_, sleeper] {
      std::lock_guard inner(impl->mutex);
      if (sleeper->timer) sleeper->timer->cancel();
    });
  }
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
