#pragma once

#include <asio/any_io_executor.hpp>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/core_bluetooth/manager_state.h"
#include "platform/core_bluetooth/radio_backend.h"

namespace brellis::platform::core_bluetooth {

class CentralManager;

// Receives a central manager's state reports, always on the manager's queue.
class CentralManagerDelegate {
 public:
  virtual ~CentralManagerDelegate() = default;
  virtual void centralManagerDidUpdateState(CentralManager& central) = 0;
};

// The observing side of the radio: its state and the program's authorization. The delegate is
// held weakly. Reports are posted to the queue (the main loop when none is given), never
// delivered inside a call: one after creation and one after every change of the state or the
// authorization. Thread-safe.
class CentralManager : public std::enable_shared_from_this<CentralManager> {
 public:
  static std::shared_ptr<CentralManager> create(
      std::weak_ptr<CentralManagerDelegate> delegate,
      std::optional<asio::any_io_executor> queue = std::nullopt,
      std::shared_ptr<RadioBackend> radio = systemRadio());
  CentralManager(const CentralManager&) = delete;
  CentralManager& operator=(const CentralManager&) = delete;

  ManagerState state() const;
  ManagerAuthorization authorization() const;

 private:
  CentralManager(std::weak_ptr<CentralManagerDelegate> delegate, asio::any_io_executor queue,
                 std::shared_ptr<RadioBackend> radio);
  void radioChanged();
  void postStateUpdate();

  const std::weak_ptr<CentralManagerDelegate> delegate_;
  const asio::any_io_executor queue_;
  const std::shared_ptr<RadioBackend> radio_;
  std::shared_ptr<void> observation_;

  mutable std::mutex mutex_;
  RadioStatus status_;
};

}  // namespace brellis::platform::core_bluetooth
