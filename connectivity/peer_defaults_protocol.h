#pragma once

#include <optional>
#include <string>
#include <vector>

#include "connectivity/pairing_identity.h"
#include "platform/multipeer/peer_id.h"

namespace brellis::connectivity {

// Peer-defaults access as the main program's dependency set holds it, so that it can be
// replaced in tests. The production implementation forwards to PeerDefaults.
class PeerDefaultsProtocol {
 public:
  virtual ~PeerDefaultsProtocol() = default;
  virtual std::vector<PairingIdentity> pairingIdentities() const = 0;
  virtual void setPairingIdentities(std::optional<std::vector<PairingIdentity>> list) const = 0;
  virtual platform::multipeer::PeerID makePeer(const std::string& identifier,
                                               const std::string& key) const = 0;
  virtual std::optional<platform::multipeer::PeerID> getPeer(const std::string& key) const = 0;
  virtual void removePeer(const std::string& key) const = 0;
};

}  // namespace brellis::connectivity
