#include "platform/core_bluetooth/peripheral_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/core_bluetooth/tests/radio_fixture.h"

namespace brellis::platform::core_bluetooth {
namespace {

using testing::beaconAdvertisement;
using testing::RadioTest;
using testing::samplePayload;

class RecordingDelegate : public PeripheralManagerDelegate {
 public:
  void peripheralManagerDidUpdateState(PeripheralManager& peripheral) override {
    std::lock_guard lock(mutex);
    states.push_back(peripheral.state());
  }
  void peripheralManagerDidStartAdvertising(
      PeripheralManager&, const std::optional<foundation::ErrorRecord>& error) override {
    std::lock_guard lock(mutex);
    starts.push_back(error);
  }
  size_t stateCount() {
    std::lock_guard lock(mutex);
    return states.size();
  }
  size_t startCount() {
    std::lock_guard lock(mutex);
    return starts.size();
  }
  std::mutex mutex;
  std::vector<ManagerState> states;
  std::vector<std::optional<foundation::ErrorRecord>> starts;
};

class PeripheralManagerTest : public RadioTest {
 protected:
  asio::io_context queue_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(PeripheralManagerTest, CallbacksArePostedNeverInlineAndStateIsReportedOnceAfterCreation) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  EXPECT_EQ(delegate_->stateCount(), 0u);
  EXPECT_EQ(delegate_->startCount(), 0u);
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == 1; }));
  ASSERT_EQ(delegate_->states, std::vector<ManagerState>{ManagerState::poweredOn});
  EXPECT_FALSE(delegate_->starts[0].has_value());
  EXPECT_TRUE(manager->isAdvertising());
  auto adverts = SimulatedRadio::advertisements(radioDir_);
  ASSERT_EQ(adverts.size(), 1u);
  EXPECT_EQ(adverts[0].payload, samplePayload());
}

TEST_F(PeripheralManagerTest, RefusesEveryAdvertisementButOneTwentyOneByteBeaconEntry) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  std::vector<foundation::PlistDict> bad;
  bad.push_back({});
  bad.push_back(beaconAdvertisement(foundation::Bytes(20, 1)));
  bad.push_back(beaconAdvertisement(foundation::Bytes(22, 1)));
  {
    foundation::PlistDict extra = beaconAdvertisement(samplePayload());
    extra.set("kCBAdvDataLocalName", "Mac");
    bad.push_back(extra);
  }
  {
    foundation::PlistDict wrongKey;
    wrongKey.set("kCBAdvDataManufacturerData", samplePayload());
    bad.push_back(wrongKey);
  }
  {
    foundation::PlistDict notData;
    notData.set(kAdvertisementDataAppleBeaconKey, "not bytes");
    bad.push_back(notData);
  }
  for (const auto& dict : bad) manager->startAdvertising(dict);
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == bad.size(); }));
  for (const auto& error : delegate_->starts) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, kErrorDomain);
    EXPECT_EQ(error->code, kErrorInvalidParameters);
  }
  EXPECT_FALSE(manager->isAdvertising());
  EXPECT_TRUE(SimulatedRadio::advertisements(radioDir_).empty());
}

TEST_F(PeripheralManagerTest, DelegateGoneBeforeDeliveryReceivesNothing) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  std::weak_ptr<RecordingDelegate> weak = delegate_;
  delegate_.reset();
  EXPECT_TRUE(weak.expired());
  queue_.poll();  // Both pending callbacks find no delegate.
  SUCCEED();
}

TEST_F(PeripheralManagerTest, StopIsSynchronousAndDestructionTakesTheAdvertOffAir) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  ASSERT_EQ(SimulatedRadio::advertisements(radioDir_).size(), 1u);
  manager->stopAdvertising();
  EXPECT_TRUE(SimulatedRadio::advertisements(radioDir_).empty());
  EXPECT_FALSE(manager->isAdvertising());

  manager->startAdvertising(beaconAdvertisement(samplePayload(7)));
  ASSERT_EQ(SimulatedRadio::advertisements(radioDir_).size(), 1u);
  // A radio report in progress may hold the manager a moment longer.
  manager.reset();
  EXPECT_TRUE(pumpUntil(queue_, [&] { return SimulatedRadio::advertisements(radioDir_).empty(); }));
}

TEST_F(PeripheralManagerTest, StartAnsweredAfterAStopIsReportedCancelled) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  manager->stopAdvertising();
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == 1; }));
  ASSERT_TRUE(delegate_->starts[0].has_value());
  EXPECT_EQ(delegate_->starts[0]->code, kErrorOperationCancelled);
  EXPECT_FALSE(manager->isAdvertising());
}

TEST_F(PeripheralManagerTest, StartFailsWhenRadioIsOffMissingOrMadeToFail) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_, ManagerState::poweredOff));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == 1; }));
  EXPECT_TRUE(delegate_->starts[0].has_value());

  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, ManagerState::poweredOn));
  ASSERT_TRUE(SimulatedRadio::setStartFailure(radioDir_, "Advertising is not allowed."));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return manager->state() == ManagerState::poweredOn; }));
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == 2; }));
  ASSERT_TRUE(delegate_->starts[1].has_value());
  EXPECT_EQ(delegate_->starts[1]->localizedDescription(), "Advertising is not allowed.");
  EXPECT_FALSE(manager->isAdvertising());
  EXPECT_TRUE(SimulatedRadio::advertisements(radioDir_).empty());

  ASSERT_TRUE(SimulatedRadio::setStartFailure(radioDir_, std::nullopt));
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == 3; }));
  EXPECT_FALSE(delegate_->starts[2].has_value());
}

TEST_F(PeripheralManagerTest, WithoutRadioFolderStateIsUnsupportedAndStartsFail) {
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->startCount() == 1; }));
  EXPECT_EQ(delegate_->states, std::vector<ManagerState>{ManagerState::unsupported});
  EXPECT_TRUE(delegate_->starts[0].has_value());
}

TEST_F(PeripheralManagerTest, LossOfPowerTakesAdvertOffAirAndEveryChangeIsReported) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(samplePayload()));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return manager->isAdvertising(); }));

  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, ManagerState::poweredOff));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->stateCount() == 2; }));
  EXPECT_EQ(delegate_->states[1], ManagerState::poweredOff);
  EXPECT_FALSE(manager->isAdvertising());
  EXPECT_TRUE(SimulatedRadio::advertisements(radioDir_).empty());

  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, ManagerState::poweredOn));
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->stateCount() == 3; }));
  EXPECT_EQ(delegate_->states[2], ManagerState::poweredOn);
}

TEST_F(PeripheralManagerTest, StateChangedByAnotherProcessReachesLiveManager) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->stateCount() == 1; }));
  std::string command = std::string(BRELLIS_RADIO_PEER) + " set-state " + radioDir_.string() + " 4";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(pumpUntil(queue_, [&] { return delegate_->stateCount() == 2; }));
  EXPECT_EQ(delegate_->states[1], ManagerState::poweredOff);
}

TEST_F(PeripheralManagerTest, AnotherProcessSeesAdvertAppearAndDisappear) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto payload = samplePayload(40);
  testing::PeerProcess peer(std::string(BRELLIS_RADIO_PEER) + " watch " + radioDir_.string() + " " +
                            testing::hex(payload) + " 10000");
  auto manager = PeripheralManager::create(delegate_, queue_.get_executor(), fastRadio());
  manager->startAdvertising(beaconAdvertisement(payload));
  EXPECT_EQ(peer.readLine(), "appeared");
  manager->stopAdvertising();
  EXPECT_EQ(peer.readLine(), "disappeared");
  EXPECT_EQ(peer.wait(), 0);
}

}  // namespace
}  // namespace brellis::platform::core_bluetooth
