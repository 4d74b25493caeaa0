#pragma once

#include <asio/any_io_executor.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core_bluetooth/manager_state.h"
#include "platform/core_bluetooth/radio_backend.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::core_bluetooth {

class PeripheralManager;

// Receives a peripheral manager's reports, always on the manager's queue.
class PeripheralManagerDelegate {
 public:
  virtual ~PeripheralManagerDelegate() = default;
  virtual void peripheralManagerDidUpdateState(PeripheralManager& peripheral) = 0;
  virtual void peripheralManagerDidStartAdvertising(
      PeripheralManager& peripheral, const std::optional<foundation::ErrorRecord>& error) = 0;
};

// The advertising side of the radio. The delegate is held weakly: a callback whose delegate is
// gone is dropped. Callbacks are posted to `queue`, never delivered inside a call; one state
// update follows creation and one follows every change of the radio's state. Every
// startAdvertising() is answered by exactly one start callback. Thread-safe.
class PeripheralManager : public std::enable_shared_from_this<PeripheralManager> {
 public:
  static std::shared_ptr<PeripheralManager> create(
      std::weak_ptr<PeripheralManagerDelegate> delegate, asio::any_io_executor queue,
      std::shared_ptr<RadioBackend> radio = systemRadio());
  // Takes the advertisement off air.
  ~PeripheralManager();
  PeripheralManager(const PeripheralManager&) = delete;
  PeripheralManager& operator=(const PeripheralManager&) = delete;

  // The radio's state as last seen by this manager.
  ManagerState state() const;
  // True from a successful start callback until a stop or a loss of power.
  bool isAdvertising() const;

  // Accepts exactly one entry, kAdvertisementDataAppleBeaconKey -> 21 bytes; anything else, or a
  // radio that is not powered on, is answered with an error. A new start replaces the payload.
  void startAdvertising(const foundation::PlistDict& advertisementData);
  // Takes the advertisement off air at once; no callback. A start still unanswered is then
  // answered with kErrorOperationCancelled.
  void stopAdvertising();

 private:
  PeripheralManager(std::weak_ptr<PeripheralManagerDelegate> delegate, asio::any_io_executor queue,
                    std::shared_ptr<RadioBackend> radio);
  void radioChanged();
  void postStateUpdate();
  void postStartResult(uint64_t generation, std::optional<foundation::ErrorRecord> error);
  void deliverStartResult(uint64_t generation, std::optional<foundation::ErrorRecord> error);

  const std::weak_ptr<PeripheralManagerDelegate> delegate_;
  const asio::any_io_executor queue_;
  const std::shared_ptr<RadioBackend> radio_;
  const std::string advertiser_;
  std::shared_ptr<void> observation_;

  mutable std::mutex mutex_;
  ManagerState state_ = ManagerState::unknown;
  bool advertising_ = false;
  // Advances on every stop and loss of power, so that a start answered later reports cancelled.
  uint64_t generation_ = 0;
};

// Validates an advertisement dictionary; the payload when it is exactly one 21-byte beacon entry.
std::optional<foundation::Bytes> beaconPayload(const foundation::PlistDict& advertisementData);

}  // namespace brellis::platform::core_bluetooth
