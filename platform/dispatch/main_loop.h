#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <thread>

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
  bool isMainThread() const;

 private:
  MainLoop();
  asio::io_context context_;
  std::thread::id mainThread_;
};

// The global concurrent pool on which detached tasks and strands run unless told otherwise.
asio::thread_pool& globalPool();
asio::any_io_executor globalExecutor();

// The I/O context: one thread that waits on the platform's sockets and runs their short
// handlers (framing, reply matching, handing work on). With a single thread a completed read runs
// on the thread that saw it, without first waking another thread to take over the wait, so a
// message costs one thread wake-up per hop. Nothing may block on it: a handler that waits for
// another reply of the same process would wait for ever.
asio::any_io_executor ioExecutor();

// Call before leaving main(): stops the main loop, the global pool and the I/O context and waits up
// to `timeout` for their threads to finish their current handlers, so that no pool thread runs
// while static objects are destroyed. Returns false when a thread did not finish in time; the
// caller should then leave with _exit.
bool shutdownForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace brellis::platform::dispatch
