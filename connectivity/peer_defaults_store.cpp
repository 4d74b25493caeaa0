#include "connectivity/peer_defaults_store.h"

#include "connectivity/peer_defaults.h"

namespace brellis::connectivity {

std::vector<PairingIdentity> PeerDefaultsStore::pairingIdentities() const {
  return PeerDefaults::pairingIdentities();
}

}  // namespace brellis::connectivity
