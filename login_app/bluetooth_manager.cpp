#include "login_app/bluetooth_manager.h"

#include <asio/post.hpp>

#include "login_app/program_log.h"
#include "platform/dispatch/await_callback.h"
#include "platform/dispatch/main_loop.h"
#include "platform/os_log/logger.h"

namespace brellis::login_app {

namespace cb = platform::core_bluetooth;

namespace {

constexpr const char* kCategory = "bluetooth";
constexpr const char* kWillUpdateAgain = "bluetooth state %ld will update again";
constexpr const char* kStateUnsupported = "bluetooth state is unsupported";
constexpr const char* kStateUnauthorized = "bluetooth state is unauthorized";
constexpr const char* kStatePoweredOff = "bluetooth state is powered off";
constexpr const char* kStatePoweredOn = "bluetooth state is powered on";
constexpr const char* kStateUnknownValue = "bluetooth state is not a known value: %ld";
constexpr const char* kAuthorizationNotDetermined = "bluetooth authorization is not determined";
constexpr const char* kAuthorizationRestricted = "bluetooth authorization is restricted";
constexpr const char* kAuthorizationDenied = "bluetooth authorization is denied";
constexpr const char* kAuthorizationAllowed = "bluetooth authorization is always allowed";
constexpr const char* kAuthorizationUnknownValue =
    "bluetooth authorization is not a known value: %ld";

const platform::os_log::Logger& bluetoothLog() {
  static const platform::os_log::Logger logger(programLogSubsystem(), kCategory);
  return logger;
}

// Logs the state; false when it is not settled yet.
bool logState(cb::ManagerState state) {
  auto raw = static_cast<int64_t>(state);
  switch (state) {
    case cb::ManagerState::unknown:
    case cb::ManagerState::resetting:
      bluetoothLog().notice(kWillUpdateAgain, raw);
      return false;
    case cb::ManagerState::unsupported:
      bluetoothLog().error(kStateUnsupported);
      return true;
    case cb::ManagerState::unauthorized:
      bluetoothLog().error(kStateUnauthorized);
      return true;
    case cb::ManagerState::poweredOff:
      bluetoothLog().error(kStatePoweredOff);
      return true;
    case cb::ManagerState::poweredOn:
      bluetoothLog().notice(kStatePoweredOn);
      return true;
  }
  bluetoothLog().error(kStateUnknownValue, raw);
  return true;
}

void logAuthorization(cb::ManagerAuthorization authorization) {
  switch (authorization) {
    case cb::ManagerAuthorization::notDetermined:
      bluetoothLog().error(kAuthorizationNotDetermined);
      return;
    case cb::ManagerAuthorization::restricted:
      bluetoothLog().error(kAuthorizationRestricted);
      return;
    case cb::ManagerAuthorization::denied:
      bluetoothLog().error(kAuthorizationDenied);
      return;
    case cb::ManagerAuthorization::allowedAlways:
      bluetoothLog().notice(kAuthorizationAllowed);
      return;
  }
  bluetoothLog().error(kAuthorizationUnknownValue, static_cast<int64_t>(authorization));
}

}  // namespace

BluetoothManager::BluetoothManager(asio::any_io_executor queue,
                                   std::shared_ptr<cb::RadioBackend> radio)
    : queue_(std::move(queue)), radio_(std::move(radio)) {}

std::shared_ptr<BluetoothManager> BluetoothManager::create(
    std::optional<asio::any_io_executor> queue, std::shared_ptr<cb::RadioBackend> radio) {
  auto executor = queue ? std::move(*queue) : platform::dispatch::MainLoop::shared().executor();
  return std::shared_ptr<BluetoothManager>(
      new BluetoothManager(std::move(executor), radio ? std::move(radio) : cb::systemRadio()));
}

asio::awaitable<cb::ManagerState> BluetoothManager::checkBluetoothAccess() {
  using Signature = void(cb::ManagerState);
  // A continuation dropped unresumed (the manager went away first) answers "unknown".
  return platform::dispatch::awaitCallback<Signature>(
      [self = shared_from_this()](platform::dispatch::OnceCallback<Signature> resume, auto) {
        asio::post(self->queue_, [self, resume] {
          self->waitForSettledState([resume](cb::ManagerState state) { resume(state); });
        });
      },
      std::make_tuple(cb::ManagerState::unknown));
}

void BluetoothManager::waitForSettledState(Continuation continuation) {
  updateStateContinuation_.push_back(std::move(continuation));
  if (!cbCentralManager_) {
    cbCentralManager_ = cb::CentralManager::create(weak_from_this(), queue_, radio_);
  }
}

void BluetoothManager::centralManagerDidUpdateState(cb::CentralManager& central) {
  auto state = central.state();
  if (!logState(state)) return;
  logAuthorization(central.authorization());
  auto pending = std::move(updateStateContinuation_);
  updateStateContinuation_.clear();
  for (auto& resume : pending) resume(state);
}

}  // namespace brellis::login_app
