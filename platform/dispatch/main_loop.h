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

// The socket thread: one thread of its own, on which the XPC connections of this process read
// their sockets and run their handlers (each connection on a strand over it). One thread means
// the handler runs on the thread that saw the socket ready, and nobody else is woken to keep
// watch meanwhile: a round trip costs one wake-up on each side, as a blocking read would. Its
// handlers must not block (they hop to an actor or the pool for anything slow), or every
// connection of the process waits.
asio::any_io_executor socketExecutor();

// Call before leaving main(): stops the main loop, the global pool and the socket thread and
// waits up to `timeout` for their threads to finish their current handlers, so that no such
// thread runs while static objects are destroyed. Returns false when a thread did not finish in
// time; the caller should then leave with _exit.
bool shutdownForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace brellis::platform::dispatch
