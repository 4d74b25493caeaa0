#include "platform/core_bluetooth/central_manager.h"

#include <gtest/gtest.h>

#include "platform/core_bluetooth/tests/radio_fixture.h"
#include "platform/dispatch/main_loop.h"

namespace brellis::platform::core_bluetooth {
namespace {

using testing::RadioTest;

class RecordingCentralDelegate : public CentralManagerDelegate {
 public:
  void centralManagerDidUpdateState(CentralManager& central) override {
    std::lock_guard lock(mutex);
    reports.push_back({central.state(), central.authorization()});
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return reports.size();
  }
  std::mutex mutex;
  std::vector<RadioStatus> reports;
};

TEST_F(RadioTest, CentralReportsOnceAfterCreationThenEveryChangeOfStateOrAuthorization) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_, ManagerState::unknown));
  asio::io_context queue;
  auto delegate = std::make_shared<RecordingCentralDelegate>();
  auto central = CentralManager::create(delegate, queue.get_executor(), fastRadio());
  EXPECT_EQ(delegate->count(), 0u);
  ASSERT_TRUE(pumpUntil(queue, [&] { return delegate->count() == 1; }));
  EXPECT_EQ(delegate->reports[0].state, ManagerState::unknown);

  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, static_cast<ManagerState>(9)));
  ASSERT_TRUE(pumpUntil(queue, [&] { return delegate->count() == 2; }));
  EXPECT_EQ(delegate->reports[1].state, static_cast<ManagerState>(9));

  ASSERT_TRUE(SimulatedRadio::setAuthorization(radioDir_, ManagerAuthorization::restricted));
  ASSERT_TRUE(pumpUntil(queue, [&] { return delegate->count() == 3; }));
  EXPECT_EQ(delegate->reports[2].authorization, ManagerAuthorization::restricted);

  // Nothing changed: nothing reported. Only time can show that no report comes; the radio
  // looks every 2 ms, so this spans ten of its looks.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.restart();
  queue.poll();
  EXPECT_EQ(delegate->count(), 3u);
}

TEST_F(RadioTest, CentralWithoutQueueReportsOnTheMainLoop) {
  auto delegate = std::make_shared<RecordingCentralDelegate>();
  auto central = CentralManager::create(delegate, std::nullopt, fastRadio());
  auto& context = dispatch::MainLoop::shared().context();
  ASSERT_TRUE(pumpUntil(context, [&] { return delegate->count() == 1; }));
  EXPECT_EQ(delegate->reports[0].state, ManagerState::unsupported);
}

TEST_F(RadioTest, CentralWithGoneDelegateStaysQuiet) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  asio::io_context queue;
  auto delegate = std::make_shared<RecordingCentralDelegate>();
  auto central = CentralManager::create(delegate, queue.get_executor(), fastRadio());
  delegate.reset();
  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, ManagerState::poweredOff));
  ASSERT_TRUE(pumpUntil(queue, [&] { return central->state() == ManagerState::poweredOff; }));
}

}  // namespace
}  // namespace brellis::platform::core_bluetooth
