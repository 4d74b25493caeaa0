#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::foundation {

// The one hex codec of the system.
std::string hexEncode(const Bytes& bytes);  // lower case, no separators
// Either case; absent for an odd length or any other character.
std::optional<Bytes> hexDecode(std::string_view text);

}  // namespace brellis::platform::foundation
