#pragma once

#include <vector>

#include "connectivity/pairing_identities.h"

namespace brellis::connectivity {

// The defaults-backed source of the paired devices: reads PeerDefaults every time.
class PeerDefaultsStore : public PairingIdentities {
 public:
  std::vector<PairingIdentity> pairingIdentities() const override;
};

}  // namespace brellis::connectivity
