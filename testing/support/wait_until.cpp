#include "testing/support/wait_until.h"

#include <thread>

namespace brellis::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(interval);
  }
  return condition();
}

}  // namespace brellis::testing
