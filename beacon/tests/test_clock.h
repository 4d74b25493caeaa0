#pragma once

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/clock.h"

namespace brellis::beacon::testing {

// A clock whose sleeps end only when the test advances it (or when their task is cancelled).
// Every field shared with the sleepers is read and written under the mutex.
class TestClock : public platform::dispatch::Clock {
 public:
  TimePoint now() const override {
    std::lock_guard lock(mutex_);
    return TimePoint() + elapsed_;
  }

  asio::awaitable<void> sleep(Duration duration) override {
    auto sleeper = std::make_shared<Sleeper>();
    bool immediate = false;
    {
      std::lock_guard lock(mutex_);
      requested_.push_back(duration);
      sleeper->deadline = elapsed_ + std::max(Duration::zero(), duration);
      immediate = sleeper->deadline <= elapsed_;
      if (!immediate) sleepers_.push_back(sleeper);
    }
    changed_.notify_all();
    if (immediate) co_return;
    // Polls its flag on a short real timer: a wake-up can never be lost between the flag's
    // check and the start of a wait. Cancellation ends the real wait and is rethrown.
    asio::steady_timer tick(co_await asio::this_coro::executor);
    while (true) {
      {
        std::lock_guard lock(mutex_);
        if (sleeper->woken) {
          sleepers_.remove(sleeper);
          break;
        }
      }
      tick.expires_after(std::chrono::milliseconds(1));
      try {
        co_await tick.async_wait(asio::use_awaitable);
      } catch (...) {
        std::lock_guard lock(mutex_);
        sleepers_.remove(sleeper);
        throw;
      }
    }
    changed_.notify_all();
  }

  void advance(Duration duration) {
    std::lock_guard lock(mutex_);
    elapsed_ += duration;
    for (auto& sleeper : sleepers_) {
      if (sleeper->woken || sleeper->deadline > elapsed_) continue;
      sleeper->woken = true;
    }
  }
  std::vector<Duration> requestedSleeps() const {
    std::lock_guard lock(mutex_);
    return requested_;
  }
  bool waitForSleeps(size_t n) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return requested_.size() >= n; });
  }
  size_t pendingSleepers() const {
    std::lock_guard lock(mutex_);
    return sleepers_.size();
  }

 private:
  struct Sleeper {
    Duration deadline{};
    bool woken = false;
  };
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Duration elapsed_{};
  std::vector<Duration> requested_;
  std::list<std::shared_ptr<Sleeper>> sleepers_;
};

}  // namespace brellis::beacon::testing
