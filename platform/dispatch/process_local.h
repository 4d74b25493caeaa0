#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/dispatch/main_loop.h"

namespace brellis::platform::dispatch {

namespace detail {
// Guards every ProcessLocal's pointer; held across fork() (with the pools' mutex), so a child
// never inherits it locked by a thread that does not exist there.
std::mutex& processLocalMutex();
}  // namespace detail

// A process-wide object made at first use in each process: a child forked after its parent made
// one makes its own at its own first use (see forkGeneration()). Objects are never destroyed:
// tasks may still use them while the process exits, and a parent's object, left behind in the
// child, may hold executors whose threads are not there. The maker runs without a lock held
// (it may use other process-wide objects); when two threads make one at once, the first one
// published stays and the other is deleted unused.
template <class T>
class ProcessLocal {
 public:
  explicit ProcessLocal(std::function<T*()> make) : make_(std::move(make)) {}
  ProcessLocal(const ProcessLocal&) = delete;
  ProcessLocal& operator=(const ProcessLocal&) = delete;

  T& get() {
    {
      std::lock_guard lock(detail::processLocalMutex());
      if (value_ && generation_ == forkGeneration()) return *value_;
    }
    T* made = make_();
    std::lock_guard lock(detail::processLocalMutex());
    const uint64_t generation = forkGeneration();
    if (value_ && generation_ == generation) {
      delete made;
    } else {
      value_ = made;
      generation_ = generation;
    }
    return *value_;
  }

 private:
  std::function<T*()> make_;
  T* value_ = nullptr;
  uint64_t generation_ = 0;
};

}  // namespace brellis::platform::dispatch
