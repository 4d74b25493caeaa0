#include "beacon/velkor_beacon.h"

#include <asio/async_result.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>
#include <functional>
#include <mutex>

#include "beacon/beacon_log.h"
#include "platform/dispatch/task.h"

namespace brellis::beacon {

namespace {

constexpr const char* kSchedulingStop = "Scheduling stop after %f seconds";
constexpr const char* kTaskWasCanceled = "Task was canceled, stopping beacon";

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

// One timed run of startAsync and the caller waiting for it. The signal ends the run's wait; it
// is emitted on the beacon's queue only.
struct VelkorBeacon::TimedRun {
  asio::any_io_executor queue;
  asio::cancellation_signal signal;
  std::mutex mutex;
  bool finished = false;
  std::function<void()> onFinished;

  void cancel(const std::shared_ptr<TimedRun>& self) {
    asio::post(queue, [self] { self->signal.emit(asio::cancellation_type::all); });
  }
  // On the beacon's queue, as the run's completion.
  void finish() {
    signal.slot().clear();
    std::function<void()> waiting;
    {
      std::lock_guard lock(mutex);
      finished = true;
      waiting = std::move(onFinished);
    }
    if (waiting) waiting();
  }
  // Runs `done` once the run has finished (at once when it has).
  void whenFinished(std::function<void()> done) {
    {
      std::lock_guard lock(mutex);
      if (!finished) {
        onFinished = std::move(done);
        return;
      }
    }
    done();
  }
};

// The right to run once: an awaitable of startAsync that is destroyed before it ran (its caller
// was cancelled before the call) still runs, as a cancelled run of its own.
class VelkorBeacon::TimedRunTicket {
 public:
  TimedRunTicket(std::shared_ptr<VelkorBeacon> beacon, double seconds)
      : beacon_(std::move(beacon)), seconds_(seconds) {}
  TimedRunTicket(TimedRunTicket&& other) noexcept
      : beacon_(std::move(other.beacon_)), seconds_(other.seconds_) {}
  TimedRunTicket& operator=(TimedRunTicket&&) = delete;
  ~TimedRunTicket() {
    if (beacon_) spawnTimedRun(std::move(beacon_), seconds_, true, nullptr);
  }
  // Takes the beacon out: the run is the awaiting caller's now.
  std::shared_ptr<VelkorBeacon> take() { return std::move(beacon_); }
  double seconds() const { return seconds_; }

 private:
  std::shared_ptr<VelkorBeacon> beacon_;
  double seconds_;
};

namespace {

// Completes once `run` has finished. Cancellation of the waiting task is passed on to the run,
// and the wait goes on until the run's stop step is done.
template <class Run, class Token>
auto asyncAwaitRun(std::shared_ptr<Run> run, Token&& token) {
  return asio::async_initiate<Token, void()>(
      [run](auto handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto executor = asio::get_associated_executor(handler);
        if (slot.is_connected()) {
          slot.assign([run](asio::cancellation_type) { run->cancel(run); });
        }
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        run->whenFinished([shared, executor, slot]() mutable {
          asio::post(executor, [shared, slot]() mutable {
            if (slot.is_connected()) slot.clear();
            (*shared)();
          });
        });
      },
      token);
}

}  // namespace

asio::awaitable<void> VelkorBeacon::startAsync(double stopAfter) {
  return awaitTimedRun(TimedRunTicket(shared_from_this(), stopAfter));
}

asio::awaitable<void> VelkorBeacon::startAsync(std::chrono::nanoseconds stopAfter) {
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(stopAfter);
  double seconds =
      static_cast<double>(whole.count()) + static_cast<double>((stopAfter - whole).count()) * 1e-9;
  return startAsync(seconds);
}

void VelkorBeacon::spawnTimedRun(std::shared_ptr<VelkorBeacon> self, double seconds, bool cancelled,
                                 std::shared_ptr<TimedRun> run) {
  auto queue = self->service_->executor();
  if (!run) {
    platform::dispatch::detach(queue, runTimed(std::move(self), seconds, cancelled));
    return;
  }
  // Spawned on the beacon's queue: the start step is queued now, behind earlier steps.
  asio::co_spawn(queue, runTimed(std::move(self), seconds, cancelled),
                 asio::bind_cancellation_slot(run->signal.slot(),
                                              [run](std::exception_ptr) { run->finish(); }));
}

// Runs in the caller's task: hands the run to the beacon's queue and waits for its end.
asio::awaitable<void> VelkorBeacon::awaitTimedRun(TimedRunTicket ticket) {
  auto self = ticket.take();
  auto run = std::make_shared<TimedRun>();
  run->queue = self->service_->executor();
  auto state = co_await asio::this_coro::cancellation_state;
  bool cancelled = state.cancelled() != asio::cancellation_type::none;
  spawnTimedRun(std::move(self), ticket.seconds(), cancelled, run);
  // The run stops the advert whatever happens here; wait for it with cancellation passed on,
  // not thrown, and give the caller back its setting.
  const bool throwIfCancelled = co_await asio::this_coro::throw_if_cancelled();
  co_await asio::this_coro::throw_if_cancelled(false);
  co_await asyncAwaitRun(run, asio::use_awaitable);
  co_await asio::this_coro::throw_if_cancelled(throwIfCancelled);
}

// Runs on the beacon's queue, holding the beacon to the end.
asio::awaitable<void> VelkorBeacon::runTimed(std::shared_ptr<VelkorBeacon> self, double seconds,
                                             bool cancelled) {
  co_await asio::this_coro::throw_if_cancelled(false);
  self->service_->startAdvertising();
  workflowLog().info(kSchedulingStop, seconds);
  auto state = co_await asio::this_coro::cancellation_state;
  cancelled = cancelled || state.cancelled() != asio::cancellation_type::none;
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
  self->service_->stopAdvertising();
}

VelkorBeacon::~VelkorBeacon() { service_->takeOffAir(); }

bool VelkorBeacon::isAdvertising() const { return service_->isAdvertising(); }

}  // namespace brellis::beacon
