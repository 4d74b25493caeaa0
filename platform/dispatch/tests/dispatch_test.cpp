#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/once_callback.h"
#include "platform/dispatch/process_local.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/task.h"
#include "testing/support/wait_until.h"

namespace brellis::platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsItemsOneAtATimeInSubmissionOrder) {
  SerialQueue queue("test.order");
  std::vector<int> seen;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueueTest, KnowsWhetherTheCallerIsOnItAndSyncFromItselfRunsInline) {
  SerialQueue queue("test.current");
  SerialQueue other("test.other");
  EXPECT_FALSE(queue.isCurrent());
  auto result = queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());
    EXPECT_FALSE(other.isCurrent());
    // A nested sync onto the same queue must not deadlock.
    return queue.sync([] { return 41; }) + 1;
  });
  EXPECT_EQ(result, 42);
}

TEST(OnceCallbackTest, RunsOnceAcrossCopiesAndThreads) {
  std::atomic<int> calls{0};
  OnceCallback<void(int)> callback([&](int) { calls++; }, std::make_tuple(-1));
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([copy = callback, i] { copy(i); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(callback.hasRun());
}

TEST(OnceCallbackTest, DroppedWithoutRunningCompletesWithTheDroppedArguments) {
  std::optional<std::string> received;
  {
    OnceCallback<void(std::string)> callback([&](std::string s) { received = s; },
                                             std::make_tuple(std::string("invalid")));
    auto copy = callback;
  }
  EXPECT_EQ(received, "invalid");

  int calls = 0;
  {
    OnceCallback<void(int)> callback([&](int) { calls++; }, std::make_tuple(0));
    callback(5);
  }
  EXPECT_EQ(calls, 1);  // no second run on destruction
}

asio::awaitable<void> sleepThenMark(std::shared_ptr<Clock> clock, Clock::Duration d,
                                    std::shared_ptr<std::atomic<int>> state) {
  try {
    co_await clock->sleep(d);
    *state = 1;
  } catch (const asio::system_error& e) {
    *state = e.code() == asio::error::operation_aborted ? 2 : 3;
  }
}

TEST(ManualClockTest, SleepersWakeOnlyWhenTimeIsAdvancedPastTheirDeadline) {
  auto clock = std::make_shared<ManualClock>();
  auto state = std::make_shared<std::atomic<int>>(0);
  SerialQueue queue("test.clock");
  detach(queue.executor(), sleepThenMark(clock, 10s, state));
  ASSERT_TRUE(clock->waitForSleeps(1));
  clock->advance(9s);
  std::promise<void> drained;  // a wake-up would have been queued before this
  queue.async([&] { drained.set_value(); });
  drained.get_future().wait();
  EXPECT_EQ(state->load(), 0);
  clock->advance(1s);
  EXPECT_TRUE(brellis::testing::waitUntil([&] { return state->load() != 0; }));
  EXPECT_EQ(state->load(), 1);
  EXPECT_EQ(clock->requestedSleeps(), std::vector<Clock::Duration>{10s});
  EXPECT_EQ(clock->pendingSleepers(), 0u);
}

TEST(ManualClockTest, AnAdvanceRacingTheStartOfAWaitOnThePoolIsNeverLost) {
  auto clock = std::make_shared<ManualClock>();
  std::vector<std::shared_ptr<std::atomic<int>>> states;
  for (int i = 0; i < 100; ++i) {
    states.push_back(std::make_shared<std::atomic<int>>(0));
    detach(globalExecutor(), sleepThenMark(clock, 1s, states.back()));
    ASSERT_TRUE(clock->waitForSleeps(size_t(i) + 1));
    clock->advance(1s);  // may land before the wait is initiated
  }
  for (auto& state : states) {
    EXPECT_TRUE(brellis::testing::waitUntil([&] { return state->load() != 0; }));
    EXPECT_EQ(state->load(), 1);
  }
}

TEST(ManualClockTest, CancellingATaskEndsItsSleepWithOperationAborted) {
  auto clock = std::make_shared<ManualClock>();
  auto state = std::make_shared<std::atomic<int>>(0);
  SerialQueue queue("test.cancel");
  auto handle = TaskHandle::spawn(queue.executor(), sleepThenMark(clock, 30s, state));
  ASSERT_TRUE(clock->waitForSleeps(1));
  handle.cancel();
  EXPECT_TRUE(brellis::testing::waitUntil([&] { return state->load() != 0; }));
  EXPECT_EQ(state->load(), 2);
}

TEST(SystemClockTest, CancellationEndsARealSleepEarly) {
  auto state = std::make_shared<std::atomic<int>>(0);
  // On a strand: the cancellations are delivered between the task's own steps.
  auto handle = TaskHandle::spawn(asio::make_strand(globalExecutor()),
                                  sleepThenMark(Clock::system(), 1h, state));
  // A cancellation that comes before the sleep has begun finds nothing to end: ask until it
  // ends the sleep.
  EXPECT_TRUE(brellis::testing::waitUntil([&] {
    handle.cancel();
    return state->load() != 0;
  }));
  EXPECT_EQ(state->load(), 2);
}

asio::awaitable<int> answer() { co_return 7; }

TEST(TaskTest, BlockOnReturnsTheResultAndRunOnHopsToTheQueue) {
  SerialQueue queue("test.actor");
  EXPECT_EQ(blockOn(queue.executor(), answer()), 7);
}

TEST(SemaphoreTest, WaitTimesOutWithoutASignalAndTakesOneSignalEach) {
  Semaphore semaphore;
  EXPECT_FALSE(semaphore.wait(5ms));
  semaphore.signal();
  semaphore.signal();
  EXPECT_TRUE(semaphore.wait(5ms));
  EXPECT_TRUE(semaphore.wait(5ms));
  EXPECT_FALSE(semaphore.wait(1ms));
}

// Whether work posted to `executor` runs within the time limit (a forked child has no watcher
// threads, so this waits itself).
bool runsOn(const asio::any_io_executor& executor) {
  std::promise<void> ran;
  auto done = ran.get_future();
  asio::post(executor, [&ran] { ran.set_value(); });
  return done.wait_for(10s) == std::future_status::ready;
}

TEST(ForkTest, AChildMakesItsOwnPoolsAndProcessLocalsAndTheParentKeepsItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a child that starts threads after a multi-threaded fork";
#elif defined(__SANITIZE_ADDRESS__)
  // Seen: the child's new threads waiting for good on a lock of the sanitizer's allocator that
  // a parent thread starting up held at the fork.
  GTEST_SKIP() << "AddressSanitizer's allocator does not hold its locks across fork()";
#endif
  // A fork without exec is the subject: it runs in the death test's own re-executed child, whose
  // pools are then the only threads of the process besides the forking one.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto forkAndCheck = [] {
    ProcessLocal<int> local([] { return new int(0); });
    int* parentLocal = &local.get();
    if (!runsOn(globalExecutor()) || !runsOn(socketExecutor())) ::_exit(32);
    SerialQueue queue("test.fork");
    const uint64_t generation = forkGeneration();
    pid_t child = ::fork();
    if (child == 0) {
      int status = 0;
      if (forkGeneration() != generation + 1) status |= 1;
      if (!runsOn(globalExecutor())) status |= 2;
      if (!runsOn(socketExecutor())) status |= 4;
      if (&local.get() == parentLocal || &local.get() != &local.get()) status |= 8;
      ::_exit(status);
    }
    int status = -1;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) ::_exit(64);
    // The parent's pools, queues and objects are untouched.
    const bool parentGoesOn = forkGeneration() == generation && runsOn(globalExecutor()) &&
                              runsOn(socketExecutor()) && runsOn(queue.executor()) &&
                              &local.get() == parentLocal;
    ::_exit(WEXITSTATUS(status) | (parentGoesOn ? 0 : 16));
  };
  EXPECT_EXIT(forkAndCheck(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace brellis::platform::dispatch
