#include <gtest/gtest.h>

#include <atomic>

#include "daemon_client/tarvo_daemon_connection.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/task.h"
#include "platform/xpc/xpc_error.h"
#include "testing/support/wait_until.h"

namespace brellis::daemon_client {
namespace {

namespace dispatch = platform::dispatch;
namespace xpc = platform::xpc;
using namespace std::chrono_literals;
using Values = std::vector<xpc::Value>;

enum class Order { notificationFirst, failureFirst };

// A daemon that is down: every registration after the first fails with the XPC layer's error.
// With notificationFirst the loss reaches the delegate while the failing call is under way; with
// failureFirst the test reports it after the call has failed.
class DownDaemonChannel : public DaemonChannel {
 public:
  explicit DownDaemonChannel(Order order) : order_(order) {}
  std::weak_ptr<TarvoDaemonConnection> delegate;
  std::atomic<int> registrations{0};

  asio::awaitable<Values> send(std::string, std::string, Values) override {
    if (registrations++ == 0) co_return Values{};
    if (order_ == Order::notificationFirst) {
      if (auto target = delegate.lock()) co_await target->connection(nullptr, nullptr);
    }
    throw platform::foundation::ErrorException(xpc::xpcError(xpc::kErrorConnectionInvalid));
  }

 private:
  Order order_;
};

// Runs what the connection's actor has queued so far: a re-registration task spawned before
// has requested its wait once this returns.
void drainActor(const std::shared_ptr<TarvoDaemonConnection>& daemon) {
  dispatch::blockOn(dispatch::globalExecutor(), daemon->listenerEndpoint());
}

class RegistrationBackoffTest : public ::testing::TestWithParam<Order> {};

TEST_P(RegistrationBackoffTest, WaitsDoubleUpToTheCeilingWhateverTheOrderOfReports) {
  auto clock = std::make_shared<dispatch::ManualClock>();
  auto channel = std::make_shared<DownDaemonChannel>(GetParam());
  auto daemon = TarvoDaemonConnection::makeWithChannel(channel, clock);
  channel->delegate = daemon;
  dispatch::blockOn(dispatch::globalExecutor(), daemon->registerBrellisListenerEndpoint({}));

  dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
  const std::vector<std::chrono::seconds> expected = {1s, 2s, 4s, 8s, 16s, 32s, 64s, 60s, 60s};
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(clock->waitForSleeps(i + 1)) << i;
    // Every wait after the first follows a failed registration, whose loss the delegate may
    // report only afterwards: that late report must change nothing.
    if (GetParam() == Order::failureFirst && i > 0) {
      dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
    }
    drainActor(daemon);
    ASSERT_EQ(clock->requestedSleeps().size(), i + 1);
    EXPECT_EQ(clock->requestedSleeps()[i], expected[i]) << i;
    clock->advance(expected[i]);
  }
  ASSERT_TRUE(clock->waitForSleeps(expected.size() + 1));
  EXPECT_EQ(clock->requestedSleeps().back(), 60s);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, RegistrationBackoffTest,
                         ::testing::Values(Order::notificationFirst, Order::failureFirst));

TEST(RegistrationScheduleTest, NothingWithoutEndpointAndOneTaskForTwoLosses) {
  auto clock = std::make_shared<dispatch::ManualClock>();
  auto channel = std::make_shared<DownDaemonChannel>(Order::failureFirst);
  auto daemon = TarvoDaemonConnection::makeWithChannel(channel, clock);
  dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
  drainActor(daemon);
  EXPECT_TRUE(clock->requestedSleeps().empty());

  dispatch::blockOn(dispatch::globalExecutor(), daemon->registerBrellisListenerEndpoint({}));
  dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
  dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
  ASSERT_TRUE(clock->waitForSleeps(2));
  EXPECT_TRUE(testing::waitUntil([&] { return clock->pendingSleepers() == 1; }));
  EXPECT_EQ(clock->requestedSleeps(), (std::vector<dispatch::Clock::Duration>{1s, 1s}));
}

// The first registration succeeds; every later one fails with a malformed reply (4101), which is
// no loss of the connection and which the delegate therefore never reports.
class MalformedReplyChannel : public DaemonChannel {
 public:
  asio::awaitable<Values> send(std::string, std::string, Values) override {
    if (registrations_++ == 0) co_return Values{};
    throw platform::foundation::ErrorException(xpc::xpcError(xpc::kErrorConnectionReplyInvalid));
  }

 private:
  std::atomic<int> registrations_{0};
};

TEST(RegistrationScheduleTest, ALossAfterAFailureThatIsNoLossRestartsTheWaitAtOneSecond) {
  auto clock = std::make_shared<dispatch::ManualClock>();
  auto daemon =
      TarvoDaemonConnection::makeWithChannel(std::make_shared<MalformedReplyChannel>(), clock);
  dispatch::blockOn(dispatch::globalExecutor(), daemon->registerBrellisListenerEndpoint({}));
  dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
  ASSERT_TRUE(clock->waitForSleeps(1));
  clock->advance(1s);  // the registration fails with 4101: the wait doubles
  ASSERT_TRUE(clock->waitForSleeps(2));
  EXPECT_EQ(clock->requestedSleeps()[1], 2s);

  dispatch::blockOn(dispatch::globalExecutor(), daemon->connection(nullptr, nullptr));
  ASSERT_TRUE(clock->waitForSleeps(3, 5s));
  EXPECT_EQ(clock->requestedSleeps()[2], 1s);
  ASSERT_TRUE(testing::waitUntil([&] { return clock->pendingSleepers() == 1; }));
}

}  // namespace
}  // namespace brellis::daemon_client
