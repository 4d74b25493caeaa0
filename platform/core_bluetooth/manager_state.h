#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::platform::core_bluetooth {

// The state of the radio as a manager reports it. The raw value travels unchanged: a radio may
// report a value that has no name here, and callers must treat it as such.
enum class ManagerState : int64_t {
  unknown = 0,
  resetting = 1,
  unsupported = 2,
  unauthorized = 3,
  poweredOff = 4,
  poweredOn = 5,
};

// The program's permission to use the radio. Unnamed raw values are possible, as above.
enum class ManagerAuthorization : int64_t {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  allowedAlways = 3,
};

// The only advertisement the layer accepts: one entry under this key holding the 21 beacon bytes.
inline constexpr const char* kAdvertisementDataAppleBeaconKey = "kCBAdvDataAppleBeaconKey";
inline constexpr size_t kBeaconPayloadSize = 21;

// Errors reported through the start callback.
inline constexpr const char* kErrorDomain = "CBErrorDomain";
inline constexpr int64_t kErrorUnknown = 0;
inline constexpr int64_t kErrorInvalidParameters = 1;
inline constexpr int64_t kErrorOperationCancelled = 5;

// An error of kErrorDomain with the given localized description.
foundation::ErrorRecord radioError(int64_t code, const std::string& localizedDescription);

}  // namespace brellis::platform::core_bluetooth
