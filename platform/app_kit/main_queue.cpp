#include "platform/app_kit/main_queue.h"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <mutex>
#include <optional>

#include "platform/dispatch/main_loop.h"

namespace brellis::platform::app_kit {

namespace {

std::mutex& overrideMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<asio::any_io_executor>& overrideExecutor() {
  static std::optional<asio::any_io_executor> executor;
  return executor;
}

asio::awaitable<void> runWork(std::function<void()> work) {
  work();
  co_return;
}

}  // namespace

asio::any_io_executor MainQueue::executor() {
  {
    std::lock_guard lock(overrideMutex());
    if (overrideExecutor()) return *overrideExecutor();
  }
  return dispatch::MainLoop::shared().executor();
}

void MainQueue::setExecutorForTesting(asio::any_io_executor executor) {
  std::lock_guard lock(overrideMutex());
  overrideExecutor() = std::move(executor);
}

void MainQueue::resetExecutorForTesting() {
  std::lock_guard lock(overrideMutex());
  overrideExecutor().reset();
}

void MainQueue::async(std::function<void()> work) { asio::post(executor(), std::move(work)); }

asio::awaitable<void> MainQueue::run(std::function<void()> work) {
  co_await asio::co_spawn(executor(), runWork(std::move(work)), asio::use_awaitable);
}

}  // namespace brellis::platform::app_kit
