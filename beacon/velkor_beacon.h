#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>

#include "beacon/beacon_data.h"
#include "beacon/bluetooth_beacon_service.h"
#include "platform/core_bluetooth/radio_backend.h"
#include "platform/dispatch/clock.h"

namespace brellis::beacon {

// Advertises one BeaconData. A new beacon advertises as soon as Bluetooth reports powered on,
// with or without a start, and stops when its last owner releases it (unless an asynchronous
// timed run still holds it). start() and stop() take effect in call order. No operation throws.
class VelkorBeacon : public std::enable_shared_from_this<VelkorBeacon> {
 public:
  // The longest wait of a timed run; longer, infinite or not-a-number waits are cut to it and
  // negative ones to zero.
  static constexpr std::chrono::hours kLongestWait{24 * 365 * 100};

  // `clock` times the timed runs; `radio` defaults to the system radio.
  static std::shared_ptr<VelkorBeacon> create(
      BeaconData beaconData,
      std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::Clock::system(),
      std::shared_ptr<platform::core_bluetooth::RadioBackend> radio = {});

  // Each queues one step on the beacon's queue and returns at once; the queued step holds the
  // beacon until it has run.
  void start();
  void stop();

  // Starts, waits `stopAfter` seconds, stops, in a detached task that holds the beacon weakly:
  // released meanwhile, the beacon stops at once and the stop step does nothing.
  void start(double stopAfter);

  // Starts, waits, stops, and returns once the stop step has run; the run holds the beacon
  // until then. The steps run as a task of their own on the beacon's queue, so nothing that
  // happens to the caller's task keeps the run from its stop step. When the caller's task is
  // cancelled (before or during the wait) the wait ends early with "Task was canceled, stopping
  // beacon". A caller whose task was cancelled before the call and that lets cancellation throw
  // gets operation_aborted at once, as from every awaitable; the run then still starts, logs
  // the cancellation and stops, on its own.
  asio::awaitable<void> startAsync(double stopAfter);
  asio::awaitable<void> startAsync(std::chrono::nanoseconds stopAfter);

  bool isAdvertising() const;

  // The last owner is gone (queued steps and asynchronous timed runs hold the beacon): the
  // advertisement goes off air now, even while a radio report still holds the service briefly.
  ~VelkorBeacon();

  const std::shared_ptr<BluetoothBeaconService>& service() const { return service_; }

  // The wait for `seconds`: truncated to whole nanoseconds, bounded to [0, kLongestWait].
  static std::chrono::nanoseconds waitDuration(double seconds);

 private:
  VelkorBeacon(std::shared_ptr<BluetoothBeaconService> service,
               std::shared_ptr<platform::dispatch::Clock> clock);

  static asio::awaitable<void> runDetached(std::weak_ptr<VelkorBeacon> weak, double seconds,
                                           std::shared_ptr<platform::dispatch::Clock> clock);
  struct TimedRun;
  class TimedRunTicket;
  static asio::awaitable<void> awaitTimedRun(TimedRunTicket ticket);
  static asio::awaitable<void> runTimed(std::shared_ptr<VelkorBeacon> self, double seconds,
                                        bool cancelled);
  static void spawnTimedRun(std::shared_ptr<VelkorBeacon> self, double seconds, bool cancelled,
                            std::shared_ptr<TimedRun> run);

  const std::shared_ptr<BluetoothBeaconService> service_;
  const std::shared_ptr<platform::dispatch::Clock> clock_;
};

}  // namespace brellis::beacon
