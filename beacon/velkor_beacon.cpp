#include "beacon/velkor_beacon.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>

#include "beacon/beacon_log.h"
#include "platform/dispatch/task.h"

namespace brellis::beacon {

namespace {

constexpr const char* kSchedulingStop = "Scheduling stop after %f seconds";
constexpr const char* kTaskWasCanceled = "Task was canceled, stopping beacon";

asio::awaitable<void> startOnQueue(std::shared_ptr<BluetoothBeaconService> service) {
  service->startAdvertising();
  co_return;
}

asio::awaitable<void> stopOnQueue(std::shared_ptr<BluetoothBeaconService> service) {
  service->stopAdvertising();
  co_return;
}

bool isAborted(const asio::system_error& error) {
  return error.code() == asio::error::operation_aborted;
}

}  // namespace

VelkorBeacon::VelkorBeacon(std::shared_ptr<BluetoothBeaconService> service,
                           std::shared_ptr<platform::dispatch::Clock> clock)
    : service_(std::move(service)),
      clock_(clock ? std::move(clock) : platform::dispatch::Clock::system()) {}

std::shared_ptr<VelkorBeacon> VelkorBeacon::create(
    BeaconData beaconData, std::shared_ptr<platform::dispatch::Clock> clock,
    std::shared_ptr<platform::core_bluetooth::RadioBackend> radio) {
  auto service = BluetoothBeaconService::create(std::move(beaconData), std::move(radio));
  return std::shared_ptr<VelkorBeacon>(new VelkorBeacon(std::move(service), std::move(clock)));
}

// Both post straight onto the strand, so that steps asked for one after the other run in
// that order.
void VelkorBeacon::start() {
  service_->queue().async([self = shared_from_this()] { self->service_->startAdvertising(); });
}

void VelkorBeacon::stop() {
  service_->queue().async([self = shared_from_this()] { self->service_->stopAdvertising(); });
}

std::chrono::nanoseconds VelkorBeacon::waitDuration(double seconds) {
  if (!(seconds > 0)) return std::chrono::nanoseconds::zero();  // negative, zero or NaN
  constexpr double kLongestSeconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(kLongestWait).count());
  if (seconds >= kLongestSeconds) return kLongestWait;  // also infinity
  return std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1'000'000'000.0));
}

void VelkorBeacon::start(double stopAfter) {
  // Spawned on the beacon's queue: the start step is queued now, behind earlier steps.
  asio::co_spawn(service_->executor(), runDetached(weak_from_this(), stopAfter, clock_),
                 asio::detached);
}

// Runs on the beacon's queue. Holds the beacon only while a step runs, never during the wait.
asio::awaitable<void> VelkorBeacon::runDetached(std::weak_ptr<VelkorBeacon> weak, double seconds,
                                                std::shared_ptr<platform::dispatch::Clock> clock) {
  if (auto self = weak.lock()) self->service_->startAdvertising();
  workflowLog().info(kSchedulingStop, seconds);
  try {
    co_await clock->sleep(waitDuration(seconds));
  } catch (const asio::system_error&) {
    // Nobody can cancel this task; a failed wait still ends in the stop step.
  }
  if (auto self = weak.lock()) self->service_->stopAdvertising();
}

asio::awaitable<void> VelkorBeacon::startAsync(double stopAfter) {
  return runTimed(shared_from_this(), stopAfter);
}

asio::awaitable<void> VelkorBeacon::startAsync(std::chrono::nanoseconds stopAfter) {
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(stopAfter);
  double seconds =
      static_cast<double>(whole.count()) + static_cast<double>((stopAfter - whole).count()) * 1e-9;
  return runTimed(shared_from_this(), seconds);
}

// Runs in the caller's task; the steps hop onto the beacon's queue and back.
asio::awaitable<void> VelkorBeacon::runTimed(std::shared_ptr<VelkorBeacon> self, double seconds) {
  // A cancelled task must still reach the stop step: do not let the hops throw, and restore
  // the caller's setting before returning.
  const bool throwIfCancelled = co_await asio::this_coro::throw_if_cancelled();
  co_await asio::this_coro::throw_if_cancelled(false);
  auto service = self->service_;

  co_await platform::dispatch::runOn(service->executor(), startOnQueue(service));

  workflowLog().info(kSchedulingStop, seconds);
  auto state = co_await asio::this_coro::cancellation_state;
  bool cancelled = state.cancelled() != asio::cancellation_type::none;
  if (!cancelled) {
    try {
      co_await self->clock_->sleep(waitDuration(seconds));
    } catch (const asio::system_error& error) {
      cancelled = isAborted(error);
    }
    auto after = co_await asio::this_coro::cancellation_state;
    cancelled = cancelled || after.cancelled() != asio::cancellation_type::none;
  }
  if (cancelled) workflowLog().debug(kTaskWasCanceled);

  co_await platform::dispatch::runOn(service->executor(), stopOnQueue(service));
  co_await asio::this_coro::throw_if_cancelled(throwIfCancelled);
}

VelkorBeacon::~VelkorBeacon() { service_->takeOffAir(); }

bool VelkorBeacon::isAdvertising() const { return service_->isAdvertising(); }

}  // namespace brellis::beacon
