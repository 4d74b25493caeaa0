#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/core_bluetooth/manager_state.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::core_bluetooth {

struct RadioStatus {
  ManagerState state = ManagerState::unknown;
  ManagerAuthorization authorization = ManagerAuthorization::notDetermined;
  bool operator==(const RadioStatus&) const = default;
};

// What the managers need of a Bluetooth radio. Implementations are thread-safe: every method may
// be called from any thread.
class RadioBackend {
 public:
  // Called exactly once with the outcome of a start: no error means the advertisement is on air.
  using StartCompletion = std::function<void(std::optional<foundation::ErrorRecord>)>;

  virtual ~RadioBackend() = default;

  virtual RadioStatus status() const = 0;

  // Calls `changed` (on any thread, possibly several times) after the status may have changed.
  // The observation ends when the returned token is destroyed; a call already running may still
  // finish after that, so `changed` must not own what it notifies.
  virtual std::shared_ptr<void> observe(std::function<void()> changed) = 0;

  // Puts `payload` on air under `advertiser` (replacing what that advertiser had on air) and
  // reports the outcome through `done`, which may run before this call returns.
  virtual void startAdvertising(const std::string& advertiser, foundation::Bytes payload,
                                StartCompletion done) = 0;
  // Takes the advertiser's payload off air at once; nothing when it has none.
  virtual void stopAdvertising(const std::string& advertiser) = 0;
};

// The radio of this machine: the simulated radio in the "radio" folder of the state root (or of
// the system's run directory). When that folder does not exist the radio reports unsupported.
std::shared_ptr<RadioBackend> systemRadio();

}  // namespace brellis::platform::core_bluetooth
