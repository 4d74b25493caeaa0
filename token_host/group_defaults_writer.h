#pragma once

#include <optional>
#include <string>

#include "platform/foundation/plist_value.h"
#include "token_host/unlock_data.h"

namespace brellis::token_host {

// Copies the daemon's unlock data into the application-group suite (made once per process):
// removes the peers "ContainerPeer" and "DriverPeer" (the token manager recreates them), then
// writes "Certificate", "RequirePIN", "EnableUnlockForLogin" (always true), "PairingIdentities"
// (binary property-list data) and "UnlockVersion" (0 or 1). Stops silently without a suite.
void setGroupDefaults(const UnlockData& data);
// Removes the two peers, then the whole application-group domain.
void removeGroupDefaults();
// Stores one pairing identity (empty public key) through the peer defaults. Raises
// TKErrorDomain -8 when any value is absent, storing nothing.
void setPairingIdentities(const std::optional<std::string>& identifier,
                          const std::optional<std::string>& name,
                          const std::optional<platform::foundation::Bytes>& salt);

}  // namespace brellis::token_host
