#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>

namespace brellis::platform::dispatch {

// The process's main loop: one io_context run by the thread that calls run() (the program's main
// thread). Everything that the platform calls "the main queue" is posted here.
class MainLoop {
 public:
  static MainLoop& shared();

  asio::any_io_executor executor();
  asio::io_context& context() { return context_; }

  // Runs the loop on the calling thread until stop(); the calling thread becomes the main thread.
  // Work is kept alive: run() does not return merely because the queue is empty.
  void run();
  void stop();

 private:
  MainLoop();
  asio::io_context context_;
};

// The global concurrent pool on which detached tasks and strands run unless told otherwise.
asio::thread_pool& globalPool();
asio::any_io_executor globalExecutor();

// Call before leaving main(): stops the main loop and the global pool and waits up to `timeout`
// for the pool's threads to finish their current handlers, so that no pool thread runs while
// static objects are destroyed. Returns false when a thread did not finish in time; the caller
// should then leave with _exit.
bool shutdownForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace brellis::platform::dispatch
