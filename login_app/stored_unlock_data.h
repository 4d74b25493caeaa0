#pragma once

#include <optional>

#include "group_defaults/group_defaults.h"
#include "token_host/unlock_data.h"

namespace brellis::login_app {

// Rebuilds the unlock data from the application-group suite, reading in this order and giving
// nothing at the first miss: "Certificate", the peer "ContainerPeer", the peer "DriverPeer";
// then "RequirePIN" (false when absent), the pairing identities (which may rewrite the
// data-form value) and "UnlockVersion" (1: unlock_1_2_0, anything else: undefined).
std::optional<token_host::UnlockData> storedUnlockData(
    const std::optional<group_defaults::GroupDefaults>& groupDefaults);

}  // namespace brellis::login_app
