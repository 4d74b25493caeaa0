#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>

#include "beacon/velkor_beacon.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/foundation/error_record.h"

namespace brellis::login_app {

// The serial state of the one beacon start that may be pending: its beacon and its completion,
// set together and cleared together. Idle (both absent) or Pending (both present).
//
// Executor: a serial queue of its own. Each operation below is a coroutine that must run on
// executor() (use dispatch::runOn); completions are called there, while on the actor.
class BeaconActor {
 public:
  // Called with nullopt for success, else the error the client sees.
  using Completion = std::function<void(std::optional<platform::foundation::ErrorRecord>)>;

  BeaconActor();
  asio::any_io_executor executor() const { return queue_.executor(); }

  // A new start arrives: a pending completion gets `canceled`; becomes Idle.
  asio::awaitable<void> cancelPending();
  // A start begins advertising: becomes Pending with `beacon` and `completion`. A completion
  // stored meanwhile by an overlapping start (both fetched at once) is answered `canceled`
  // first, so that every start is answered exactly once.
  asio::awaitable<void> store(std::shared_ptr<beacon::VelkorBeacon> beacon, Completion completion);
  // A run ended: a pending completion (whichever start stored it) gets `timedOut`; becomes Idle.
  asio::awaitable<void> timeOut();
  // A stop arrives: a pending completion gets success; becomes Idle.
  asio::awaitable<void> resolve();

  // For tests: whether a start is pending. On the actor.
  asio::awaitable<bool> isPending();

 private:
  void finish(std::optional<platform::foundation::ErrorRecord> error);

  platform::dispatch::SerialQueue queue_;
  // Owned by the actor's executor.
  std::shared_ptr<beacon::VelkorBeacon> beacon_;
  Completion completion_;
};

}  // namespace brellis::login_app
