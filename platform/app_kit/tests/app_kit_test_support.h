#pragma once

#include <functional>
#include <future>
#include <thread>

#include "platform/app_kit/main_queue.h"
#include "platform/dispatch/main_loop.h"

namespace brellis::platform::app_kit::test {

// The process's main loop, run by a thread of its own for the rest of the test process.
inline void ensureMainLoop() {
  static bool started = [] {
    std::thread([] { dispatch::MainLoop::shared().run(); }).detach();
    return true;
  }();
  (void)started;
}

// Runs `work` on the main queue and waits for it.
inline void onMain(const std::function<void()>& work) {
  ensureMainLoop();
  std::promise<void> done;
  MainQueue::async([&] {
    work();
    done.set_value();
  });
  done.get_future().get();
}

}  // namespace brellis::platform::app_kit::test
