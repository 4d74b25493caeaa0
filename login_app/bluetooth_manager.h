#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/core_bluetooth/central_manager.h"
#include "platform/core_bluetooth/radio_backend.h"

namespace brellis::login_app {

// Asks the radio once for its state and the program's authorization, logs both, and returns
// the first settled state (anything but unknown and resetting). The central manager is made on
// the first check and kept; it reports on `queue` (the main loop unless given), where every
// field of this type is touched.
class BluetoothManager : public platform::core_bluetooth::CentralManagerDelegate,
                         public std::enable_shared_from_this<BluetoothManager> {
 public:
  // `radio` defaults to the system radio.
  static std::shared_ptr<BluetoothManager> create(
      std::optional<asio::any_io_executor> queue = std::nullopt,
      std::shared_ptr<platform::core_bluetooth::RadioBackend> radio = {});

  // Has no time limit: it waits for as long as the radio reports only unknown or resetting.
  // Checks made at the same time all return the same settled state.
  asio::awaitable<platform::core_bluetooth::ManagerState> checkBluetoothAccess();

  void centralManagerDidUpdateState(platform::core_bluetooth::CentralManager& central) override;

 private:
  using Continuation = std::function<void(platform::core_bluetooth::ManagerState)>;

  BluetoothManager(asio::any_io_executor queue,
                   std::shared_ptr<platform::core_bluetooth::RadioBackend> radio);
  // Queue only. Stores the resumption before the manager exists, so the first report finds it.
  void waitForSettledState(Continuation continuation);

  const asio::any_io_executor queue_;
  const std::shared_ptr<platform::core_bluetooth::RadioBackend> radio_;
  std::shared_ptr<platform::core_bluetooth::CentralManager> cbCentralManager_;
  std::vector<Continuation> updateStateContinuation_;
};

}  // namespace brellis::login_app
