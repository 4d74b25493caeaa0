#pragma once

#include <asio/any_io_executor.hpp>
#include <memory>
#include <optional>

#include "beacon/beacon_data.h"
#include "platform/core_bluetooth/peripheral_manager.h"
#include "platform/core_bluetooth/radio_backend.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/foundation/error_record.h"

namespace brellis::beacon {

// Owns the peripheral manager and all advertising state of one beacon. Everything but
// isAdvertising() and destruction runs on the serial queue "beacon.control"; the manager
// reports on the same queue, so canAdvertise_, isAdvertising_ and btManager_ are only ever
// touched there. Advertising begins whenever the manager reports powered on and the beacon is
// not advertising, asked for or not; destruction takes the advertisement off air.
class BluetoothBeaconService : public platform::core_bluetooth::PeripheralManagerDelegate,
                               public std::enable_shared_from_this<BluetoothBeaconService> {
 public:
  static constexpr const char* kQueueLabel = "beacon.control";

  // `radio` defaults to the system radio.
  static std::shared_ptr<BluetoothBeaconService> create(
      BeaconData beaconData, std::shared_ptr<platform::core_bluetooth::RadioBackend> radio = {});
  ~BluetoothBeaconService() override;

  const BeaconData& beaconData() const { return beaconData_; }
  asio::any_io_executor executor() const { return queue_.executor(); }
  const platform::dispatch::SerialQueue& queue() const { return queue_; }

  // Queue only.
  virtual void startAdvertising();
  void stopAdvertising();

  // Any thread: takes the advertisement off air at once, leaving the queue's state alone. For
  // the owner that releases the service.
  void takeOffAir();

  // Reads the flag on the queue and waits for it; for callers outside the queue.
  bool isAdvertising() const;

  // PeripheralManagerDelegate; delivered on the queue.
  void peripheralManagerDidUpdateState(
      platform::core_bluetooth::PeripheralManager& peripheral) override;
  void peripheralManagerDidStartAdvertising(
      platform::core_bluetooth::PeripheralManager& peripheral,
      const std::optional<platform::foundation::ErrorRecord>& error) override;

 protected:
  explicit BluetoothBeaconService(BeaconData beaconData);

 private:
  platform::dispatch::SerialQueue queue_;
  std::shared_ptr<platform::core_bluetooth::PeripheralManager> btManager_;
  const BeaconData beaconData_;
  bool canAdvertise_ = false;
  bool isAdvertising_ = false;
};

}  // namespace brellis::beacon
