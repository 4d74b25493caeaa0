#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <cstdint>

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
// Like the socket thread below it is made at first use in each process: a child forked after
// its parent used them gets pools of its own at its own first use (the parent's threads do not
// exist in the child; the parent's pools are left untouched there and never destroyed).
asio::thread_pool& globalPool();
asio::any_io_executor globalExecutor();

// The socket thread: one thread of its own, on which the XPC connections of this process read
// their sockets and run their handlers (each connection on a strand over it). One thread means
// the handler runs on the thread that saw the socket ready, and nobody else is woken to keep
// watch meanwhile: a round trip costs one wake-up on each side, as a blocking read would. Its
// handlers must not block (they hop to an actor or the pool for anything slow), or every
// connection of the process waits.
asio::any_io_executor socketExecutor();

// How many fork()s lie between the program's start and the calling process: 0 in the process
// the program started in, one more in each forked child. Process-wide objects made once that
// hold executors, threads or connections of a process (actors, daemon connections) compare it
// with the value they were made at and are made again in a child: work posted to the parent's
// executors never runs there, and the parent's connections are the parent's.
uint64_t forkGeneration();

// Call before leaving main(): stops the main loop, the global pool and the socket thread and
// waits up to `timeout` for their threads to finish their current handlers, so that no such
// thread runs while static objects are destroyed. Returns false when a thread did not finish in
// time; the caller should then leave with _exit.
bool shutdownForExit(std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace brellis::platform::dispatch
