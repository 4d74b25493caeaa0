#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/plist_value.h"

namespace brellis::connectivity_protocol {

// The phone's protocol version; travels as its integer raw value.
enum class UnlockVersion : int64_t {
  undefined = 0,     // no version announced
  unlock_1_2_0 = 1,  // a phone that handles key exchange
};

int64_t rawValue(UnlockVersion version);
// Absent for every integer other than 0 and 1.
std::optional<UnlockVersion> unlockVersion(int64_t rawValue);

// How responses read "unlockVersion": 0 and 1 give their cases; a missing value, a value that is
// not an integer, or any other integer gives `undefined`. Never fails.
UnlockVersion unlockVersionLeniently(const platform::foundation::PlistValue* value);

}  // namespace brellis::connectivity_protocol
