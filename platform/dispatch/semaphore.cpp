#include "platform/dispatch/semaphore.h"

namespace brellis::platform::dispatch {

void Semaphore::signal() {
  {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  cv_.notify_one();
}

bool Semaphore::wait(std::chrono::nanoseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

}  // namespace brellis::platform::dispatch
