#include "login_app/bluetooth_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "login_app/program_log.h"
#include "platform/core_bluetooth/simulated_radio.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::login_app {
namespace {

namespace cb = platform::core_bluetooth;
using platform::os_log::LogLevel;
using namespace std::chrono_literals;

// A radio whose status changes only when the test says so.
class ScriptedRadio : public cb::RadioBackend {
 public:
  explicit ScriptedRadio(cb::RadioStatus status) : status_(status) {}
  cb::RadioStatus status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }
  std::shared_ptr<void> observe(std::function<void()> changed) override {
    std::lock_guard lock(mutex_);
    observers_.push_back(std::move(changed));
    return nullptr;
  }
  void startAdvertising(const std::string&, platform::foundation::Bytes,
                        StartCompletion done) override {
    done(std::nullopt);
  }
  void stopAdvertising(const std::string&) override {}
  void set(cb::ManagerState state) {
    std::vector<std::function<void()>> observers;
    {
      std::lock_guard lock(mutex_);
      status_.state = state;
      observers = observers_;
    }
    for (auto& fn : observers) fn();
  }

 private:
  mutable std::mutex mutex_;
  cb::RadioStatus status_;
  std::vector<std::function<void()>> observers_;
};

class BluetoothManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stateRoot_.emplace();
    radioDir_ = cb::SimulatedRadio::defaultDirectory();
  }
  void TearDown() override { stateRoot_.reset(); }

  std::future<cb::ManagerState> check(const std::shared_ptr<BluetoothManager>& manager) {
    return asio::co_spawn(queue_, manager->checkBluetoothAccess(), asio::use_future);
  }

  // Runs the queue on this thread until `future` is ready or the timeout ends.
  template <class Predicate>
  bool pumpUntil(Predicate done, std::chrono::milliseconds timeout = 5s) {
    return brellis::testing::waitUntil(
        [&] {
          queue_.restart();
          queue_.poll();
          return done();
        },
        timeout);
  }
  static bool ready(const std::future<cb::ManagerState>& future) {
    return future.wait_for(0s) == std::future_status::ready;
  }

  cb::ManagerState runCheck(std::shared_ptr<cb::RadioBackend> radio) {
    auto manager = BluetoothManager::create(queue_.get_executor(), std::move(radio));
    auto future = check(manager);
    EXPECT_TRUE(pumpUntil([&] { return ready(future); }));
    return future.get();
  }

  std::vector<std::string> lines() { return capture_.sink().texts("bluetooth"); }

  platform::os_log::ScopedLogCapture capture_;
  asio::io_context queue_;
  std::optional<brellis::testing::TemporaryStateRoot> stateRoot_;
  std::filesystem::path radioDir_;
};

TEST_F(BluetoothManagerTest, UnknownThenPoweredOnLogsWillUpdateAgainOnceAndReturnsPoweredOn) {
  auto radio = std::make_shared<ScriptedRadio>(
      cb::RadioStatus{cb::ManagerState::unknown, cb::ManagerAuthorization::allowedAlways});
  auto manager = BluetoothManager::create(queue_.get_executor(), radio);
  auto future = check(manager);
  ASSERT_TRUE(pumpUntil([&] { return lines().size() == 1; }));
  EXPECT_FALSE(ready(future));
  radio->set(cb::ManagerState::poweredOn);
  ASSERT_TRUE(pumpUntil([&] { return ready(future); }));
  EXPECT_EQ(future.get(), cb::ManagerState::poweredOn);
  EXPECT_EQ(lines(), (std::vector<std::string>{"bluetooth state 0 will update again",
                                               "bluetooth state is powered on",
                                               "bluetooth authorization is always allowed"}));
  for (const auto& record : capture_.sink().records()) {
    EXPECT_EQ(record.subsystem, programLogSubsystem());
    EXPECT_EQ(record.level, LogLevel::defaultLevel);
  }
}

TEST_F(BluetoothManagerTest, ResettingKeepsWaitingToo) {
  auto radio = std::make_shared<ScriptedRadio>(
      cb::RadioStatus{cb::ManagerState::resetting, cb::ManagerAuthorization::denied});
  auto manager = BluetoothManager::create(queue_.get_executor(), radio);
  auto future = check(manager);
  ASSERT_TRUE(pumpUntil([&] { return lines().size() == 1; }));
  radio->set(cb::ManagerState::unauthorized);
  ASSERT_TRUE(pumpUntil([&] { return ready(future); }));
  EXPECT_EQ(future.get(), cb::ManagerState::unauthorized);
  EXPECT_EQ(lines(), (std::vector<std::string>{"bluetooth state 1 will update again",
                                               "bluetooth state is unauthorized",
                                               "bluetooth authorization is denied"}));
}

TEST_F(BluetoothManagerTest, UnnamedStateValueIsReturnedWithItsLine) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_, static_cast<cb::ManagerState>(9)));
  EXPECT_EQ(runCheck(cb::systemRadio()), static_cast<cb::ManagerState>(9));
  EXPECT_EQ(lines(), (std::vector<std::string>{"bluetooth state is not a known value: 9",
                                               "bluetooth authorization is always allowed"}));
  EXPECT_EQ(capture_.sink().records()[0].level, LogLevel::error);
}

TEST_F(BluetoothManagerTest, WithoutRadioTheCheckReportsUnsupported) {
  EXPECT_EQ(runCheck(cb::systemRadio()), cb::ManagerState::unsupported);
  ASSERT_FALSE(lines().empty());
  EXPECT_EQ(lines()[0], "bluetooth state is unsupported");
}

TEST_F(BluetoothManagerTest, PoweredOffAndEveryAuthorizationLine) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "bluetooth authorization is not determined"},
      {1, "bluetooth authorization is restricted"},
      {2, "bluetooth authorization is denied"},
      {3, "bluetooth authorization is always allowed"},
      {7, "bluetooth authorization is not a known value: 7"},
  };
  for (const auto& [authorization, text] : cases) {
    capture_.sink().clear();
    ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_, cb::ManagerState::poweredOff,
                                            static_cast<cb::ManagerAuthorization>(authorization)));
    EXPECT_EQ(runCheck(cb::systemRadio()), cb::ManagerState::poweredOff);
    EXPECT_EQ(lines(), (std::vector<std::string>{"bluetooth state is powered off", text}));
    auto records = capture_.sink().records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].level, authorization == 3 ? LogLevel::defaultLevel : LogLevel::error);
  }
}

TEST_F(BluetoothManagerTest, ChangeAfterTheCheckIsLoggedAndResumesNothing) {
  auto radio = std::make_shared<ScriptedRadio>(
      cb::RadioStatus{cb::ManagerState::poweredOn, cb::ManagerAuthorization::allowedAlways});
  auto manager = BluetoothManager::create(queue_.get_executor(), radio);
  auto future = check(manager);
  ASSERT_TRUE(pumpUntil([&] { return ready(future); }));
  EXPECT_EQ(future.get(), cb::ManagerState::poweredOn);
  radio->set(cb::ManagerState::poweredOff);
  ASSERT_TRUE(pumpUntil([&] { return lines().size() == 4; }));
  EXPECT_EQ(lines()[2], "bluetooth state is powered off");
}

TEST_F(BluetoothManagerTest, ChecksWaitingTogetherAllReturnTheSettledState) {
  auto radio = std::make_shared<ScriptedRadio>(
      cb::RadioStatus{cb::ManagerState::unknown, cb::ManagerAuthorization::allowedAlways});
  auto manager = BluetoothManager::create(queue_.get_executor(), radio);
  auto first = check(manager);
  auto second = check(manager);
  ASSERT_TRUE(pumpUntil([&] { return lines().size() == 1; }));
  radio->set(cb::ManagerState::poweredOn);
  ASSERT_TRUE(pumpUntil([&] { return ready(first) && ready(second); }));
  EXPECT_EQ(first.get(), cb::ManagerState::poweredOn);
  EXPECT_EQ(second.get(), cb::ManagerState::poweredOn);
}

TEST_F(BluetoothManagerTest, RadioStateChangedByAnotherWriterEndsTheWait) {
  ASSERT_TRUE(cb::SimulatedRadio::install(radioDir_, cb::ManagerState::unknown));
  auto radio = std::make_shared<cb::SimulatedRadio>(radioDir_, 2ms);
  auto manager = BluetoothManager::create(queue_.get_executor(), radio);
  auto future = check(manager);
  ASSERT_TRUE(pumpUntil([&] { return lines().size() == 1; }));
  ASSERT_TRUE(cb::SimulatedRadio::setState(radioDir_, cb::ManagerState::poweredOn));
  ASSERT_TRUE(pumpUntil([&] { return ready(future); }));
  EXPECT_EQ(future.get(), cb::ManagerState::poweredOn);
  EXPECT_EQ(lines()[0], "bluetooth state 0 will update again");
}

}  // namespace
}  // namespace brellis::login_app
