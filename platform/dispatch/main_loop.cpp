#include "platform/dispatch/main_loop.h"

#include <pthread.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/dispatch/process_local.h"

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

// The pool and the socket thread live until shutdownForExit() (or for ever): tasks and callbacks
// may still hold their executors while the process exits. Both are made at first use in each
// process. `poolMutex` is held across fork() (the handlers below), so a child never inherits it
// locked by a thread that does not exist there.
std::mutex poolMutex;
asio::thread_pool* pool = nullptr;
// A thread_pool of one runs its scheduler in single-thread mode: a ready socket's handler runs on
// the thread that polled, with no hand-off and no second thread woken to poll meanwhile.
asio::thread_pool* sockets = nullptr;
std::atomic<uint64_t> generation{0};
std::mutex localsMutex;

void lockBeforeFork() {
  poolMutex.lock();
  localsMutex.lock();
}
void unlockInParent() {
  localsMutex.unlock();
  poolMutex.unlock();
}
// The child forgets its parent's pool and socket thread without touching them: their threads
// are not in the child, so nothing posted there would run, and destroying them would wait on
// those threads. Their objects stay allocated (anything made over them in the parent may still
// refer to them); the next use makes new ones.
void resetInChild() {
  pool = nullptr;
  sockets = nullptr;
  generation.fetch_add(1, std::memory_order_relaxed);
  localsMutex.unlock();
  poolMutex.unlock();
}

// Installed when the library is loaded, before any pool exists.
[[maybe_unused]] const int forkHandlersInstalled =
    pthread_atfork(lockBeforeFork, unlockInParent, resetInChild);

}  // namespace

uint64_t forkGeneration() { return generation.load(std::memory_order_relaxed); }

namespace detail {
std::mutex& processLocalMutex() { return localsMutex; }
}  // namespace detail

asio::thread_pool& globalPool() {
  std::lock_guard lock(poolMutex);
  if (!pool) pool = new asio::thread_pool(std::max(4u, std::thread::hardware_concurrency()));
  return *pool;
}

asio::any_io_executor globalExecutor() { return globalPool().get_executor(); }

asio::any_io_executor socketExecutor() {
  std::lock_guard lock(poolMutex);
  if (!sockets) sockets = new asio::thread_pool(1);
  return sockets->get_executor();
}

bool shutdownForExit(std::chrono::milliseconds timeout) {
  MainLoop::shared().stop();
  auto& running = globalPool();
  asio::thread_pool* socketThread = nullptr;
  {
    std::lock_guard lock(poolMutex);
    socketThread = sockets;
  }
  running.stop();
  if (socketThread) socketThread->stop();
  std::promise<void> joined;
  auto done = joined.get_future();
  std::thread([&running, socketThread, joined = std::move(joined)]() mutable {
    running.join();
    if (socketThread) socketThread->join();
    joined.set_value();
  }).detach();
  // The stopped pool and socket thread are kept: process-wide objects may still own I/O objects
  // of them, and those must not outlive their execution context.
  return done.wait_for(timeout) == std::future_status::ready;
}

}  // namespace brellis::platform::dispatch
