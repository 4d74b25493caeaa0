#include "platform/dispatch/main_loop.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <future>

namespace brellis::platform::dispatch {

MainLoop& MainLoop::shared() {
  // Never destroyed: tasks and callbacks may still hold its executor while the process exits.
  static MainLoop* loop = new MainLoop();
  return *loop;
}

MainLoop::MainLoop() = default;

asio::any_io_executor MainLoop::executor() { return context_.get_executor(); }

void MainLoop::run() {
  mainThread_ = std::this_thread::get_id();
  auto guard = asio::make_work_guard(context_);
  context_.run();
  context_.restart();
}

void MainLoop::stop() { context_.stop(); }

bool MainLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

asio::thread_pool& globalPool() {
  // Never destroyed, for the same reason as the main loop; sized to the machine.
  static asio::thread_pool* pool =
      new asio::thread_pool(std::max(4u, std::thread::hardware_concurrency()));
  return *pool;
}

asio::any_io_executor globalExecutor() { return globalPool().get_executor(); }

bool shutdownForExit(std::chrono::milliseconds timeout) {
  MainLoop::shared().stop();
  auto& pool = globalPool();
  pool.stop();
  std::promise<void> joined;
  auto done = joined.get_future();
  std::thread([&pool, joined = std::move(joined)]() mutable {
    pool.join();
    joined.set_value();
  }).detach();
  return done.wait_for(timeout) == std::future_status::ready;
}

}  // namespace brellis::platform::dispatch
