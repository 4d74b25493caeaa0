#pragma once

#include <vector>

#include "connectivity/pairing_identity.h"

namespace brellis::connectivity {

// Where the peer manager and its handlers get the paired devices from.
class PairingIdentities {
 public:
  virtual ~PairingIdentities() = default;
  virtual std::vector<PairingIdentity> pairingIdentities() const = 0;
};

}  // namespace brellis::connectivity
