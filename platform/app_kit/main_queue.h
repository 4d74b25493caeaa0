#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <functional>

namespace brellis::platform::app_kit {

// The main queue: the process's MainLoop (platform/dispatch), on which all user-interface state
// lives. The executor can be replaced for tests that drive their own loop.
class MainQueue {
 public:
  static asio::any_io_executor executor();
  static void setExecutorForTesting(asio::any_io_executor executor);
  static void resetExecutorForTesting();

  // Runs `work` on the main queue later (DispatchQueue.main.async).
  static void async(std::function<void()> work);
  // Suspends the calling coroutine, runs `work` on the main queue, and resumes on the caller's
  // executor afterwards (MainActor.run). An exception of `work` is rethrown to the caller.
  static asio::awaitable<void> run(std::function<void()> work);
};

}  // namespace brellis::platform::app_kit
