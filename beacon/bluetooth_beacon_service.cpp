#include "beacon/bluetooth_beacon_service.h"

#include <cassert>

#include "beacon/beacon_log.h"

namespace brellis::beacon {

namespace cb = platform::core_bluetooth;

namespace {

constexpr const char* kAttemptingToStart = "Attempting to start beacon %{public}s";
constexpr const char* kAttemptingToStop = "Attempting to stop beacon";
constexpr const char* kBluetoothState =
    "Bluetooth state - canAdvertise %{bool}d, isAdvertising %{bool}d";
constexpr const char* kDidStartAdvertising = "Did start advertising:%{public}s";
constexpr const char* kErrorOnDidStart = "Error on did start advertising: %{public}s";

}  // namespace

BluetoothBeaconService::BluetoothBeaconService(BeaconData beaconData)
    : queue_(kQueueLabel), beaconData_(std::move(beaconData)) {}

std::shared_ptr<BluetoothBeaconService> BluetoothBeaconService::create(
    BeaconData beaconData, std::shared_ptr<cb::RadioBackend> radio) {
  std::shared_ptr<BluetoothBeaconService> service(
      new BluetoothBeaconService(std::move(beaconData)));
  // Reports start at once on the queue; they reach btManager_ only through their argument.
  service->btManager_ = cb::PeripheralManager::create(service, service->queue_.executor(),
                                                      radio ? std::move(radio) : cb::systemRadio());
  return service;
}

// May run on any thread, also on the queue itself: no waiting on the queue here.
BluetoothBeaconService::~BluetoothBeaconService() {
  if (btManager_) btManager_->stopAdvertising();
}

void BluetoothBeaconService::startAdvertising() {
  assert(queue_.isCurrent());
  workflowLog().info(kAttemptingToStart, beaconData_.uuid().string());
  // The flag is set only by the start callback: a start still unanswered is asked again.
  if (canAdvertise_ && !isAdvertising_)
    btManager_->startAdvertising(beaconData_.advertisementData());
}

void BluetoothBeaconService::stopAdvertising() {
  assert(queue_.isCurrent());
  workflowLog().info(kAttemptingToStop);
  btManager_->stopAdvertising();
  isAdvertising_ = false;
}

void BluetoothBeaconService::takeOffAir() { btManager_->stopAdvertising(); }

bool BluetoothBeaconService::isAdvertising() const {
  return queue_.sync([this] { return isAdvertising_; });
}

void BluetoothBeaconService::peripheralManagerDidUpdateState(cb::PeripheralManager& peripheral) {
  assert(queue_.isCurrent());
  auto state = peripheral.state();
  canAdvertise_ = state == cb::ManagerState::poweredOn;
  if (!canAdvertise_) isAdvertising_ = false;
  // The manager passed in is btManager_; it is used here because the first report may arrive
  // before create() has stored btManager_.
  if (canAdvertise_ && !isAdvertising_)
    peripheral.startAdvertising(beaconData_.advertisementData());
  bluetoothLog().info(kBluetoothState, canAdvertise_, isAdvertising_);
}

void BluetoothBeaconService::peripheralManagerDidStartAdvertising(
    cb::PeripheralManager&, const std::optional<platform::foundation::ErrorRecord>& error) {
  assert(queue_.isCurrent());
  if (error) {
    isAdvertising_ = false;
    bluetoothLog().error(kErrorOnDidStart, error->localizedDescription());
    return;
  }
  isAdvertising_ = true;
  bluetoothLog().info(kDidStartAdvertising, beaconData_.description());
}

}  // namespace brellis::beacon
