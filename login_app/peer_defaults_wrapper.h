#pragma once

#include "connectivity/peer_defaults_protocol.h"

namespace brellis::login_app {

// The production peer-defaults access: forwards every call to connectivity::PeerDefaults.
class PeerDefaultsWrapper : public connectivity::PeerDefaultsProtocol {
 public:
  std::vector<connectivity::PairingIdentity> pairingIdentities() const override;
  void setPairingIdentities(
      std::optional<std::vector<connectivity::PairingIdentity>> list) const override;
  platform::multipeer::PeerID makePeer(const std::string& identifier,
                                       const std::string& key) const override;
  std::optional<platform::multipeer::PeerID> getPeer(const std::string& key) const override;
  void removePeer(const std::string& key) const override;
};

}  // namespace brellis::login_app
