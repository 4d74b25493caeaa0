#include "platform/dispatch/main_loop.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <future>
#include <mutex>
#include <thread>

namespace brellis::platform::dispatch {

MainLoop& MainLoop::shared() {
  // Never destroyed: tasks and callbacks may still hold its executor while the process exits.
  static MainLoop* loop = new MainLoop();
  return *loop;
}

MainLoop::MainLoop() = default;

asio::any_io_executor MainLoop::executor() { return context_.get_executor(); }

void MainLoop::run() {
  auto guard = asio::make_work_guard(context_);
  context_.run();
  context_.restart();
}

void MainLoop::stop() { context_.stop(); }

namespace {

// The pool lives until shutdownForExit() (or for ever): tasks and callbacks may still hold its
// executor while the process exits.
std::mutex poolMutex;
asio::thread_pool* pool = nullptr;

}  // namespace

asio::thread_pool& globalPool() {
  std::lock_guard lock(poolMutex);
  if (!pool) pool = new asio::thread_pool(std::max(4u, std::thread::hardware_concurrency()));
  return *pool;
}

asio::any_io_executor globalExecutor() { return globalPool().get_executor(); }

bool shutdownForExit(std::chrono::milliseconds timeout) {
  MainLoop::shared().stop();
  auto& running = globalPool();
  running.stop();
  std::promise<void> joined;
  auto done = joined.get_future();
  std::thread([&running, joined = std::move(joined)]() mutable {
    running.join();
    joined.set_value();
  }).detach();
  // The stopped pool itself is kept: process-wide objects may still own I/O objects of it, and
  // those must not outlive their execution context.
  return done.wait_for(timeout) == std::future_status::ready;
}

}  // namespace brellis::platform::dispatch
