#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace brellis::platform::dispatch {

// A counting semaphore for threads that may block (never a strand or pool thread).
class Semaphore {
 public:
  explicit Semaphore(long initial = 0) : count_(initial) {}
  void signal();
  // Waits until the count is positive and takes one; false when the timeout ends first.
  bool wait(std::chrono::nanoseconds timeout);
  void wait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long count_;
};

}  // namespace brellis::platform::dispatch
