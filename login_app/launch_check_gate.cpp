#include "login_app/launch_check_gate.h"

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace brellis::login_app {

namespace {

struct GateState {
  std::mutex mutex;
  bool closed = false;
  std::vector<std::function<void()>> waiters;
};

GateState& state() {
  static auto* made = new GateState();  // lives until exit: waiters may outlive static teardown
  return *made;
}

}  // namespace

void LaunchCheckGate::close() {
  std::lock_guard lock(state().mutex);
  state().closed = true;
}

void LaunchCheckGate::open() {
  std::vector<std::function<void()>> waiters;
  {
    std::lock_guard lock(state().mutex);
    state().closed = false;
    waiters.swap(state().waiters);
  }
  for (auto& resume : waiters) resume();
}

asio::awaitable<void> LaunchCheckGate::passed() {
  co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
      [](auto handler) {
        auto executor = asio::get_associated_executor(handler);
        // The handler is move-only; the waiter list holds it through a shared pointer.
        auto held = std::make_shared<decltype(handler)>(std::move(handler));
        std::function<void()> resume = [executor, held] {
          asio::post(executor, [held] { (*held)(); });
        };
        {
          std::lock_guard lock(state().mutex);
          if (state().closed) {
            state().waiters.push_back(std::move(resume));
            return;
          }
        }
        resume();
      },
      asio::use_awaitable);
}

}  // namespace brellis::login_app
