#include "beacon/velkor_beacon.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cmath>
#include <future>
#include <limits>

#include "beacon/tests/beacon_fixture.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/task.h"

namespace brellis::beacon {
namespace {

using platform::dispatch::ManualClock;
using testing::BeaconTest;
using testing::sampleBeacon;
using testing::waitUntil;
using namespace std::chrono_literals;
namespace cb = platform::core_bluetooth;

constexpr const char* kStartLine =
    "Attempting to start beacon E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";
constexpr const char* kStopLine = "Attempting to stop beacon";
constexpr const char* kCanceledLine = "Task was canceled, stopping beacon";

// Runs what `queue` holds so far (a beacon's steps and the radio's answers are queued there).
void drain(const platform::dispatch::SerialQueue& queue) {
  std::promise<void> done;
  queue.async([&] { done.set_value(); });
  done.get_future().wait();
}

TEST_F(BeaconTest, CreatingABeaconAdvertisesOncePoweredOnWithoutAnyCall) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);
  ASSERT_TRUE(waitUntil([&] { return beacon->isAdvertising(); }));
  auto adverts = cb::SimulatedRadio::advertisements(radioDir_);
  ASSERT_EQ(adverts.size(), 1u);
  EXPECT_EQ(adverts[0].payload, sampleBeacon().payload());
  EXPECT_EQ(texts("bluetooth"),
            (std::vector<std::string>{
                "Bluetooth state - canAdvertise true, isAdvertising false",
                "Did start advertising:uuid: E2C56DB5-DFFB-48D2-B060-D0F5A71096E0, major: 1, "
                "minor: 0, measuredPower: -50\n"}));
  for (const auto& record : capture_.sink().records()) EXPECT_EQ(record.subsystem, "VelkorBeacon");
}

TEST_F(BeaconTest, StartBeforePowerOnStartsAtPowerOnAndOffThenOnRestarts) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_, cb::ManagerState::poweredOff));
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);
  beacon->start();
  ASSERT_TRUE(waitUntil([&] { return countOf(kStartLine) == 1; }));
  EXPECT_FALSE(beacon->isAdvertising());
  EXPECT_EQ(onAir(), 0u);

  ASSERT_TRUE(cb::SimulatedRadio::setState(radioDir_, cb::ManagerState::poweredOn));
  ASSERT_TRUE(waitUntil([&] { return beacon->isAdvertising() && onAir() == 1; }));

  ASSERT_TRUE(cb::SimulatedRadio::setState(radioDir_, cb::ManagerState::poweredOff));
  ASSERT_TRUE(waitUntil([&] { return !beacon->isAdvertising(); }));
  EXPECT_EQ(onAir(), 0u);
  EXPECT_EQ(countOf("Bluetooth state - canAdvertise false, isAdvertising false"), 2u);

  // Also after stop(): power coming back restarts advertising by itself.
  beacon->stop();
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 1; }));
  ASSERT_TRUE(cb::SimulatedRadio::setState(radioDir_, cb::ManagerState::poweredOn));
  ASSERT_TRUE(waitUntil([&] { return beacon->isAdvertising() && onAir() == 1; }));
  EXPECT_EQ(countOf(kStartLine), 1u);
}

TEST_F(BeaconTest, StopWhileNotAdvertisingStillLogsAndStops) {
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);  // no radio: unsupported
  beacon->stop();
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 1; }));
  EXPECT_FALSE(beacon->isAdvertising());
  EXPECT_EQ(countOf("Bluetooth state - canAdvertise false, isAdvertising false"), 1u);
}

TEST_F(BeaconTest, FailedStartIsLoggedAndNotRetried) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
  ASSERT_TRUE(cb::SimulatedRadio::setStartFailure(radioDir_, "Radio busy"));
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);
  ASSERT_TRUE(waitUntil([&] { return countOf("Error on did start advertising: Radio busy"); }));
  drain(beacon->service()->queue());  // a retry would have been queued before this
  EXPECT_EQ(countOf("Error on did start advertising: Radio busy"), 1u);
  EXPECT_FALSE(beacon->isAdvertising());
  EXPECT_EQ(onAir(), 0u);
  for (const auto& record : capture_.sink().records()) {
    if (record.text.rfind("Error on", 0) == 0) {
      EXPECT_EQ(record.level, platform::os_log::LogLevel::error);
    }
  }
}

TEST_F(BeaconTest, StartAndStopTakeEffectInCallOrder) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);
  ASSERT_TRUE(waitUntil([&] { return beacon->isAdvertising(); }));
  for (int round = 0; round < 25; ++round) {
    beacon->stop();
    beacon->start();
    ASSERT_TRUE(waitUntil([&] { return beacon->isAdvertising() && onAir() == 1; }));
    beacon->start();
    beacon->stop();
    ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == size_t(2 * round + 2); }));
    // The start answered after the stop must not bring the flag back (its answer is queued
    // behind the stop).
    drain(beacon->service()->queue());
    EXPECT_FALSE(beacon->isAdvertising());
    EXPECT_EQ(onAir(), 0u);
  }
}

TEST_F(BeaconTest, StartAgainWhileAnswerPendingButNotWhileAdvertising) {
  auto radio = std::make_shared<testing::ControlledRadio>();
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio);
  ASSERT_TRUE(waitUntil([&] { return radio->starts() == 1; }));  // the power-on start
  beacon->start();
  ASSERT_TRUE(waitUntil([&] { return countOf(kStartLine) == 1; }));
  drain(beacon->service()->queue());  // the step logs before it asks the radio
  EXPECT_EQ(radio->starts(), 2);
  radio->answerStarts();
  ASSERT_TRUE(waitUntil([&] { return beacon->isAdvertising(); }));
  beacon->start();
  ASSERT_TRUE(waitUntil([&] { return countOf(kStartLine) == 2; }));
  drain(beacon->service()->queue());
  EXPECT_EQ(radio->starts(), 2);
  EXPECT_TRUE(beacon->isAdvertising());
}

TEST_F(BeaconTest, ReleasingTheLastBeaconTakesItOffAir) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);
  ASSERT_TRUE(waitUntil([&] { return onAir() == 1; }));
  beacon.reset();
  EXPECT_EQ(onAir(), 0u);
}

TEST_F(BeaconTest, IsAdvertisingCanBeReadFromManyThreadsWhileItChanges) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
  auto beacon = VelkorBeacon::create(sampleBeacon(), nullptr, radio_);
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!done) (void)beacon->isAdvertising();
    });
  }
  for (int i = 0; i < 50; ++i) {
    beacon->start();
    beacon->stop();
  }
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 50; }));
  done = true;
  for (auto& t : readers) t.join();
}

TEST_F(BeaconTest, AnotherProcessSeesTheBeaconAppearAndDisappear) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
  std::string hex;
  for (auto b : sampleBeacon(258).payload()) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", b);
    hex += digits;
  }
  FILE* peer = popen(
      (std::string(BRELLIS_RADIO_PEER) + " watch " + radioDir_.string() + " " + hex + " 10000")
          .c_str(),
      "r");
  ASSERT_NE(peer, nullptr);
  auto beacon = VelkorBeacon::create(sampleBeacon(258), nullptr, radio_);
  char line[64] = {};
  ASSERT_NE(fgets(line, sizeof line, peer), nullptr);
  EXPECT_STREQ(line, "appeared\n");
  beacon->stop();
  ASSERT_NE(fgets(line, sizeof line, peer), nullptr);
  EXPECT_STREQ(line, "disappeared\n");
  int status = pclose(peer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// --- Timed runs -----------------------------------------------------------------------------

TEST(BeaconWaitTest, WaitIsTruncatedNanosecondsBoundedToZeroAndTheLongestWait) {
  EXPECT_EQ(VelkorBeacon::waitDuration(30), 30s);
  EXPECT_EQ(VelkorBeacon::waitDuration(1.5), 1500000000ns);
  EXPECT_EQ(VelkorBeacon::waitDuration(1e-10), 0ns);
  EXPECT_EQ(VelkorBeacon::waitDuration(0), 0ns);
  EXPECT_EQ(VelkorBeacon::waitDuration(-1), 0ns);
  EXPECT_EQ(VelkorBeacon::waitDuration(-std::numeric_limits<double>::infinity()), 0ns);
  EXPECT_EQ(VelkorBeacon::waitDuration(std::nan("")), 0ns);
  EXPECT_EQ(VelkorBeacon::waitDuration(std::numeric_limits<double>::infinity()),
            VelkorBeacon::kLongestWait);
  EXPECT_EQ(VelkorBeacon::waitDuration(1e300), VelkorBeacon::kLongestWait);
  EXPECT_EQ(VelkorBeacon::waitDuration(1.9e10), VelkorBeacon::kLongestWait);
}

asio::awaitable<void> runTimed(std::shared_ptr<VelkorBeacon> beacon, double seconds,
                               std::shared_ptr<std::promise<void>> finished) {
  co_await beacon->startAsync(seconds);
  finished->set_value();
}

asio::awaitable<void> runTimedDuration(std::shared_ptr<VelkorBeacon> beacon,
                                       std::chrono::nanoseconds duration,
                                       std::shared_ptr<std::promise<void>> finished) {
  co_await beacon->startAsync(duration);
  finished->set_value();
}

// Waits on a timer that the task's cancellation ends, then runs the beacon in the cancelled
// task.
asio::awaitable<void> runTimedWhenCancelled(std::shared_ptr<VelkorBeacon> beacon,
                                            std::shared_ptr<std::promise<void>> waiting,
                                            std::shared_ptr<std::promise<void>> finished) {
  co_await asio::this_coro::throw_if_cancelled(false);
  asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::hours(1));
  waiting->set_value();
  try {
    co_await timer.async_wait(asio::use_awaitable);
  } catch (const asio::system_error&) {
  }
  co_await beacon->startAsync(30.0);
  finished->set_value();
}

class TimedBeaconTest : public BeaconTest {
 protected:
  void SetUp() override {
    BeaconTest::SetUp();
    ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_));
    beacon_ = VelkorBeacon::create(sampleBeacon(), clock_, radio_);
    ASSERT_TRUE(waitUntil([&] { return beacon_->isAdvertising(); }));
  }
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<VelkorBeacon> beacon_;
  asio::io_context caller_;
  std::thread callerThread_;
};

TEST_F(TimedBeaconTest, AsynchronousRunWaitsTheGivenSecondsThenStopsBeforeReturning) {
  auto finished = std::make_shared<std::promise<void>>();
  auto future = finished->get_future();
  platform::dispatch::detach(platform::dispatch::globalExecutor(),
                             runTimed(beacon_, 30.0, finished));
  ASSERT_TRUE(clock_->waitForSleeps(1));
  EXPECT_EQ(clock_->requestedSleeps(), std::vector<ManualClock::Duration>{30s});
  EXPECT_EQ(future.wait_for(20ms), std::future_status::timeout);
  EXPECT_EQ(onAir(), 1u);
  clock_->advance(30s);
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(beacon_->isAdvertising());
  EXPECT_EQ(onAir(), 0u);
  EXPECT_EQ(
      texts("workflow"),
      (std::vector<std::string>{kStartLine, "Scheduling stop after 30.000000 seconds", kStopLine}));
}

TEST_F(TimedBeaconTest, DurationFormWaitsTheSameAsItsSeconds) {
  auto finished = std::make_shared<std::promise<void>>();
  auto future = finished->get_future();
  platform::dispatch::detach(platform::dispatch::globalExecutor(),
                             runTimedDuration(beacon_, 1500ms, finished));
  ASSERT_TRUE(clock_->waitForSleeps(1));
  EXPECT_EQ(clock_->requestedSleeps()[0], 1500000000ns);
  EXPECT_TRUE(capture_.sink().contains("Scheduling stop after 1.500000 seconds"));
  clock_->advance(1500ms);
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(onAir(), 0u);
}

TEST_F(TimedBeaconTest, CancelledDuringTheWaitLogsStopsAndReturnsAtOnce) {
  auto finished = std::make_shared<std::promise<void>>();
  auto future = finished->get_future();
  auto caller = asio::make_strand(platform::dispatch::globalExecutor());
  auto handle = platform::dispatch::TaskHandle::spawn(caller, runTimed(beacon_, 30.0, finished));
  ASSERT_TRUE(clock_->waitForSleeps(1));
  handle.cancel();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(countOf(kCanceledLine), 1u);
  EXPECT_EQ(onAir(), 0u);
  EXPECT_FALSE(beacon_->isAdvertising());
  auto records = capture_.sink().records();
  auto it = std::find_if(records.begin(), records.end(),
                         [](const auto& r) { return r.text == kCanceledLine; });
  ASSERT_NE(it, records.end());
  EXPECT_EQ(it->level, platform::os_log::LogLevel::debug);
  EXPECT_EQ(it->category, "workflow");
  EXPECT_EQ((it + 1)->text, kStopLine);
}

TEST_F(TimedBeaconTest, AlreadyCancelledTaskStillStartsThenStopsWithoutWaiting) {
  auto waiting = std::make_shared<std::promise<void>>();
  auto finished = std::make_shared<std::promise<void>>();
  auto waitingFuture = waiting->get_future();
  auto future = finished->get_future();
  beacon_->stop();
  ASSERT_TRUE(waitUntil([&] { return !beacon_->isAdvertising(); }));
  auto caller = asio::make_strand(platform::dispatch::globalExecutor());
  auto handle = platform::dispatch::TaskHandle::spawn(
      caller, runTimedWhenCancelled(beacon_, waiting, finished));
  waitingFuture.wait();
  handle.cancel();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(clock_->requestedSleeps().empty());
  EXPECT_EQ(texts("workflow"), (std::vector<std::string>{kStopLine, kStartLine,
                                                         "Scheduling stop after 30.000000 seconds",
                                                         kCanceledLine, kStopLine}));
  EXPECT_EQ(onAir(), 0u);
}

// Waits on a timer that the task's cancellation ends, then calls the beacon with cancellation
// still thrown, as a caller normally has it.
asio::awaitable<void> runTimedAfterCancellation(std::shared_ptr<VelkorBeacon> beacon,
                                                std::shared_ptr<std::promise<void>> waiting,
                                                std::shared_ptr<std::promise<bool>> threw) {
  asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::hours(1));
  waiting->set_value();
  bool aborted = false;
  try {
    co_await timer.async_wait(asio::use_awaitable);
  } catch (const asio::system_error&) {
  }
  try {
    co_await beacon->startAsync(30.0);
  } catch (const asio::system_error& error) {
    aborted = error.code() == asio::error::operation_aborted;
  }
  threw->set_value(aborted);
}

TEST_F(TimedBeaconTest, CallerCancelledBeforeTheCallStillGetsTheRunThatStops) {
  auto waiting = std::make_shared<std::promise<void>>();
  auto threw = std::make_shared<std::promise<bool>>();
  auto waitingFuture = waiting->get_future();
  auto threwFuture = threw->get_future();
  auto caller = asio::make_strand(platform::dispatch::globalExecutor());
  auto handle = platform::dispatch::TaskHandle::spawn(
      caller, runTimedAfterCancellation(beacon_, waiting, threw));
  waitingFuture.wait();
  handle.cancel();
  ASSERT_EQ(threwFuture.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(threwFuture.get());
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 1; }));
  EXPECT_EQ(texts("workflow"),
            (std::vector<std::string>{kStartLine, "Scheduling stop after 30.000000 seconds",
                                      kCanceledLine, kStopLine}));
  EXPECT_TRUE(clock_->requestedSleeps().empty());
  ASSERT_TRUE(waitUntil([&] { return !beacon_->isAdvertising() && onAir() == 0; }));
}

TEST_F(TimedBeaconTest, CancelledWhileTheStartStepIsQueuedStillStopsBeforeReturning) {
  // The beacon's queue is held, so the cancellation arrives while the start step waits in it.
  std::promise<void> release;
  auto released = release.get_future().share();
  beacon_->service()->queue().async([released] { released.wait(); });
  std::atomic<bool> calling{false};
  auto finished = std::make_shared<std::promise<void>>();
  auto future = finished->get_future();
  auto caller = asio::make_strand(platform::dispatch::globalExecutor());
  auto body = [](std::shared_ptr<VelkorBeacon> beacon, std::atomic<bool>& calling,
                 std::shared_ptr<std::promise<void>> finished) -> asio::awaitable<void> {
    calling = true;
    co_await beacon->startAsync(30.0);
    finished->set_value();
  };
  auto handle = platform::dispatch::TaskHandle::spawn(caller, body(beacon_, calling, finished));
  ASSERT_TRUE(waitUntil([&] { return calling.load(); }));
  // Delivered on the caller's strand, so after the call has reached its wait.
  handle.cancel();
  release.set_value();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(beacon_->isAdvertising());
  EXPECT_EQ(onAir(), 0u);
  EXPECT_EQ(countOf(kCanceledLine), 1u);
  EXPECT_EQ(texts("workflow").back(), kStopLine);
}

TEST_F(TimedBeaconTest, OutOfRangeSecondsDoNotCrash) {
  for (double seconds : {-1.0, std::nan(""), -std::numeric_limits<double>::infinity()}) {
    auto finished = std::make_shared<std::promise<void>>();
    auto future = finished->get_future();
    platform::dispatch::detach(platform::dispatch::globalExecutor(),
                               runTimed(beacon_, seconds, finished));
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready) << seconds;
  }
  auto finished = std::make_shared<std::promise<void>>();
  auto future = finished->get_future();
  platform::dispatch::detach(platform::dispatch::globalExecutor(),
                             runTimed(beacon_, std::numeric_limits<double>::infinity(), finished));
  ASSERT_TRUE(clock_->waitForSleeps(4));
  EXPECT_EQ(clock_->requestedSleeps().back(), VelkorBeacon::kLongestWait);
  clock_->advance(VelkorBeacon::kLongestWait);
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(onAir(), 0u);
}

TEST_F(TimedBeaconTest, DetachedRunStopsAfterTheWait) {
  beacon_->start(5.0);
  ASSERT_TRUE(clock_->waitForSleeps(1));
  EXPECT_EQ(clock_->requestedSleeps()[0], 5s);
  EXPECT_EQ(onAir(), 1u);
  clock_->advance(5s);
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 1; }));
  drain(beacon_->service()->queue());  // the step logs before it takes the advert off air
  EXPECT_EQ(onAir(), 0u);
  EXPECT_FALSE(beacon_->isAdvertising());
}

TEST_F(TimedBeaconTest, ReleasingTheOnlyBeaconDuringTheDetachedWaitStopsAtOnce) {
  beacon_->start(30.0);
  ASSERT_TRUE(clock_->waitForSleeps(1));
  EXPECT_EQ(onAir(), 1u);
  auto service = beacon_->service();
  beacon_.reset();
  EXPECT_EQ(onAir(), 0u);
  clock_->advance(30s);  // the end of the wait is queued now
  drain(service->queue());
  EXPECT_EQ(countOf(kStopLine), 0u);
}

TEST_F(TimedBeaconTest, DetachedRunQueuedBeforeAStopDoesNotOutrunIt) {
  beacon_->stop();
  beacon_->start(5.0);
  beacon_->stop();
  ASSERT_TRUE(clock_->waitForSleeps(1));
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 2; }));
  auto workflow = texts("workflow");
  ASSERT_GE(workflow.size(), 4u);
  EXPECT_EQ(workflow[0], kStopLine);
  EXPECT_EQ(workflow[1], kStartLine);
  drain(beacon_->service()->queue());
  EXPECT_FALSE(beacon_->isAdvertising());
  EXPECT_EQ(onAir(), 0u);
  clock_->advance(5s);
  // The run's own stop ends before the fixture goes.
  ASSERT_TRUE(waitUntil([&] { return countOf(kStopLine) == 3; }));
}

}  // namespace
}  // namespace brellis::beacon
