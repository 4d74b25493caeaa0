#pragma once

#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <exception>
#include <memory>

#include "platform/dispatch/main_loop.h"

namespace brellis::platform::dispatch {

// Starts an unstructured task on `executor` (the global pool by default). Exceptions that
// escape the task are swallowed: a detached task has nobody to report to.
template <class Executor, class T>
void detach(Executor executor, asio::awaitable<T> task) {
  asio::co_spawn(executor, std::move(task), [](std::exception_ptr, auto&&...) {});
}
template <class T>
void detach(asio::awaitable<T> task) {
  detach(globalExecutor(), std::move(task));
}

// A handle to a cancellable detached task. cancel() asks the task to stop at its next
// cancellable await (timers and other asio operations end with operation_aborted).
class TaskHandle {
 public:
  TaskHandle() = default;

  template <class Executor>
  static TaskHandle spawn(Executor executor, asio::awaitable<void> task) {
    TaskHandle handle;
    handle.state_ = std::make_shared<State>();
    auto state = handle.state_;
    asio::co_spawn(
        executor, std::move(task),
        asio::bind_cancellation_slot(state->signal.slot(), [state](std::exception_ptr) {}));
    handle.executor_ = executor;
    return handle;
  }

  // Thread-safe; cancellation is delivered on the task's executor.
  void cancel();
  bool valid() const { return state_ != nullptr; }

 private:
  struct State {
    asio::cancellation_signal signal;
  };
  std::shared_ptr<State> state_;
  asio::any_io_executor executor_;
};

// Awaits `op` on `executor` (a strand): the way to run something on an actor and come back.
template <class Executor, class T>
asio::awaitable<T> runOn(Executor executor, asio::awaitable<T> op) {
  co_return co_await asio::co_spawn(executor, std::move(op), asio::use_awaitable);
}

// Blocks the calling (non-pool) thread until the awaitable finishes on `executor`; rethrows.
template <class Executor, class T>
T blockOn(Executor executor, asio::awaitable<T> op) {
  return asio::co_spawn(executor, std::move(op), asio::use_future).get();
}

}  // namespace brellis::platform::dispatch
