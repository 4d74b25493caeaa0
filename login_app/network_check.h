#pragma once

#include <cstdint>

#include "platform/foundation/defaults.h"

namespace brellis::login_app {

// The defaults key of the password policies' network check.
inline constexpr const char* kNetworkCheckKey = "PasswordPolicies.NetworkCheck";

// `networkCheck` of a defaults suite: its integer for "PasswordPolicies.NetworkCheck", as
// integerForKey: reads it (a boolean counts as 0 or 1, a real is truncated, a numeric text such
// as "5" reads as its number); 0 when the key is absent or not a number.
int64_t networkCheck(const platform::foundation::Defaults& defaults);

}  // namespace brellis::login_app
