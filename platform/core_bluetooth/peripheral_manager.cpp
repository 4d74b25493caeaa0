#include "platform/core_bluetooth/peripheral_manager.h"

#include <unistd.h>

#include <asio/post.hpp>
#include <atomic>

namespace brellis::platform::core_bluetooth {

namespace {

constexpr const char* kInvalidAdvertisementText = "The specified parameters are invalid.";
constexpr const char* kNotPoweredOnText = "Bluetooth is not powered on.";
constexpr const char* kCancelledText = "The operation was cancelled.";

std::string nextAdvertiserName() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

std::optional<foundation::Bytes> beaconPayload(const foundation::PlistDict& advertisementData) {
  if (advertisementData.size() != 1) return std::nullopt;
  const auto* value = advertisementData.find(kAdvertisementDataAppleBeaconKey);
  if (!value || !value->data() || value->data()->size() != kBeaconPayloadSize) return std::nullopt;
  return *value->data();
}

PeripheralManager::PeripheralManager(std::weak_ptr<PeripheralManagerDelegate> delegate,
                                     asio::any_io_executor queue,
                                     std::shared_ptr<RadioBackend> radio)
    : delegate_(std::move(delegate)),
      queue_(std::move(queue)),
      radio_(radio ? std::move(radio) : systemRadio()),
      advertiser_(nextAdvertiserName()) {}

std::shared_ptr<PeripheralManager> PeripheralManager::create(
    std::weak_ptr<PeripheralManagerDelegate> delegate, asio::any_io_executor queue,
    std::shared_ptr<RadioBackend> radio) {
  std::shared_ptr<PeripheralManager> manager(
      new PeripheralManager(std::move(delegate), std::move(queue), std::move(radio)));
  // Read, then observe: the radio looks again once an observer is registered, so a change
  // between the two is still reported.
  {
    std::lock_guard lock(manager->mutex_);
    manager->state_ = manager->radio_->status().state;
    manager->postStateUpdate();
  }
  std::weak_ptr<PeripheralManager> weak = manager;
  manager->observation_ = manager->radio_->observe([weak] {
    if (auto self = weak.lock()) self->radioChanged();
  });
  return manager;
}

PeripheralManager::~PeripheralManager() {
  observation_.reset();
  radio_->stopAdvertising(advertiser_);
}

ManagerState PeripheralManager::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool PeripheralManager::isAdvertising() const {
  std::lock_guard lock(mutex_);
  return advertising_;
}

void PeripheralManager::startAdvertising(const foundation::PlistDict& advertisementData) {
  std::lock_guard lock(mutex_);
  auto payload = beaconPayload(advertisementData);
  if (!payload) {
    postStartResult(generation_, radioError(kErrorInvalidParameters, kInvalidAdvertisementText));
    return;
  }
  if (state_ != ManagerState::poweredOn) {
    postStartResult(generation_, radioError(kErrorUnknown, kNotPoweredOnText));
    return;
  }
  std::weak_ptr<PeripheralManager> weak = weak_from_this();
  uint64_t generation = generation_;
  // The radio may answer inline, under our lock: its answer is only posted from here.
  radio_->startAdvertising(advertiser_, std::move(*payload),
                           [weak, generation](std::optional<foundation::ErrorRecord> error) {
                             if (auto self = weak.lock()) {
                               self->postStartResult(generation, std::move(error));
                             }
                           });
}

void PeripheralManager::stopAdvertising() {
  std::lock_guard lock(mutex_);
  ++generation_;
  advertising_ = false;
  radio_->stopAdvertising(advertiser_);
}

void PeripheralManager::radioChanged() {
  auto status = radio_->status();
  std::lock_guard lock(mutex_);
  if (status.state == state_) return;
  if (state_ == ManagerState::poweredOn) {
    // A radio that leaves the powered-on state drops what it had on air.
    ++generation_;
    advertising_ = false;
    radio_->stopAdvertising(advertiser_);
  }
  state_ = status.state;
  postStateUpdate();
}

void PeripheralManager::postStateUpdate() {
  asio::post(queue_, [weak = weak_from_this(), delegate = delegate_] {
    auto self = weak.lock();
    auto target = delegate.lock();
    if (self && target) target->peripheralManagerDidUpdateState(*self);
  });
}

void PeripheralManager::postStartResult(uint64_t generation,
                                        std::optional<foundation::ErrorRecord> error) {
  asio::post(queue_, [weak = weak_from_this(), generation, error = std::move(error)]() mutable {
    if (auto self = weak.lock()) self->deliverStartResult(generation, std::move(error));
  });
}

// Queue only. A success is confirmed only if no stop or loss of power came after the start.
void PeripheralManager::deliverStartResult(uint64_t generation,
                                           std::optional<foundation::ErrorRecord> error) {
  {
    std::lock_guard lock(mutex_);
    if (!error) {
      if (generation == generation_) {
        advertising_ = true;
      } else {
        error = radioError(kErrorOperationCancelled, kCancelledText);
      }
    }
  }
  if (auto target = delegate_.lock()) target->peripheralManagerDidStartAdvertising(*this, error);
}

}  // namespace brellis::platform::core_bluetooth
