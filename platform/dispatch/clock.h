#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace brellis::platform::dispatch {

// The source of time for every wait of the system, injected so that tests never sleep for the
// real durations. sleep() suspends the calling coroutine; when the coroutine's cancellation slot
// fires, it ends early by throwing asio::system_error(asio::error::operation_aborted).
class Clock {
 public:
  using Duration = std::chrono::nanoseconds;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  virtual asio::awaitable<void> sleep(Duration duration) = 0;

  // The real steady clock (process-wide instance).
  static std::shared_ptr<Clock> system();
};

// A clock that moves only when a test advances it. Sleeps requested so far are recorded, so a
// test can assert on the sequence of waits (for instance a back-off) without waiting for them.
class ManualClock : public Clock {
 public:
  ManualClock();
  TimePoint now() const override;
  asio::awaitable<void> sleep(Duration duration) override;

  // Moves time forward and wakes every sleeper whose deadline has passed.
  void advance(Duration duration);
  // Every duration passed to sleep(), in call order.
  std::vector<Duration> requestedSleeps() const;
  // Blocks the calling thread until at least n sleeps have been requested, or the timeout ends.
  bool waitForSleeps(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Number of sleepers currently suspended.
  size_t pendingSleepers() const;

  struct Impl;  // opaque; public only so the wait operation in the source can name it

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace brellis::platform::dispatch
