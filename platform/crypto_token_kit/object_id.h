#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// The identifier of a keychain item within its token: a number, a string or bytes. The three
// kinds never compare equal to each other (the number 1 is not the string "1").
using ObjectID = std::variant<int64_t, std::string, foundation::Bytes>;

foundation::PlistValue objectIDToPlist(const ObjectID& id);
// Absent for any other kind of value.
std::optional<ObjectID> objectIDFromPlist(const foundation::PlistValue& value);

}  // namespace brellis::platform::crypto_token_kit
