#pragma once

#include "platform/dispatch/serial_queue.h"

namespace brellis::daemon_client {

// The single serial executor on which every daemon operation, the connection's delegate
// callback and the endpoint re-registration run. It is a strand: a coroutine that awaits a reply
// leaves it, so other operations can start and be outstanding meanwhile.
class DaemonActor {
 public:
  // Process-wide, created on first use in each process (thread-safe) and kept until exit.
  static DaemonActor& shared();

  DaemonActor();
  asio::any_io_executor executor() const { return queue_.executor(); }
  bool isCurrent() const { return queue_.isCurrent(); }

 private:
  platform::dispatch::SerialQueue queue_;
};

}  // namespace brellis::daemon_client
