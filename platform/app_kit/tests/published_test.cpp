#include "platform/app_kit/published.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/app_kit/main_queue.h"

namespace brellis::platform::app_kit {
namespace {

TEST(PublishedTest, SubscriptionDeliversTheCurrentValueThenEveryAssignmentBeforeItIsStored) {
  Published<bool> property(false);
  property.set(true);
  std::vector<std::pair<bool, bool>> seen;  // (delivered, stored at delivery)
  auto subscription =
      property.sink([&](const bool& value) { seen.emplace_back(value, property.get()); });
  property.set(true);  // unchanged: still delivered
  property.set(false);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(true, true));
  EXPECT_EQ(seen[1], std::make_pair(true, true));
  EXPECT_EQ(seen[2], std::make_pair(false, true));  // the old value is still stored
  EXPECT_FALSE(property.get());
}

TEST(PublishedTest, CancelledOrDestroyedSubscriptionsHearNothingMore) {
  Published<int> property(0);
  int first = 0;
  int second = 0;
  auto a = property.sink([&](const int&) { ++first; });
  {
    CancellableSet set;
    set.push_back(property.sink([&](const int&) { ++second; }));
    property.set(1);
  }
  a.cancel();
  a.cancel();
  property.set(2);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 2);
}

TEST(PublishedTest, ASubscriberMayAssignAgainAndASubscriptionMayOutliveTheProperty) {
  AnyCancellable survivor;
  {
    Published<int> property(0);
    std::vector<int> seen;
    survivor = property.sink([&](const int& value) {
      seen.push_back(value);
      if (value == 1) property.set(2);
    });
    property.set(1);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
    // The nested assignment stored 2, then the outer one stored 1.
    EXPECT_EQ(property.get(), 1);
  }
  survivor.cancel();  // the property is gone: nothing happens
}

TEST(PublishedTest, ReadsFromOtherThreadsWhileAssigningAreSafe) {
  Published<int> property(0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      int value = property.get();
      EXPECT_GE(value, 0);
    }
  });
  auto subscription = property.sink([](const int&) {});
  for (int i = 0; i < 2000; ++i) property.set(i);
  stop = true;
  reader.join();
  EXPECT_EQ(property.get(), 1999);
}

asio::awaitable<std::pair<std::thread::id, std::thread::id>> hop() {
  std::thread::id inside;
  co_await MainQueue::run([&] { inside = std::this_thread::get_id(); });
  co_return std::make_pair(inside, std::this_thread::get_id());
}

asio::awaitable<void> hopThatThrows() {
  co_await MainQueue::run([] { throw std::runtime_error("boom"); });
}

TEST(MainQueueTest, RunHopsToTheMainQueueAndBack) {
  asio::io_context main;
  auto guard = asio::make_work_guard(main);
  std::thread mainThread([&] { main.run(); });
  MainQueue::setExecutorForTesting(main.get_executor());
  asio::thread_pool pool2(1);
  auto [inside, after] = asio::co_spawn(pool2, hop(), asio::use_future).get();
  EXPECT_EQ(inside, mainThread.get_id());
  EXPECT_NE(after, mainThread.get_id());
  EXPECT_THROW(asio::co_spawn(pool2, hopThatThrows(), asio::use_future).get(), std::runtime_error);

  std::promise<std::thread::id> ran;
  MainQueue::async([&] { ran.set_value(std::this_thread::get_id()); });
  EXPECT_EQ(ran.get_future().get(), mainThread.get_id());

  MainQueue::resetExecutorForTesting();
  guard.reset();
  main.stop();
  mainThread.join();
}

}  // namespace
}  // namespace brellis::platform::app_kit
