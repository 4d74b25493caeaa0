#include "login_app/peer_defaults_wrapper.h"

#include "connectivity/peer_defaults.h"

namespace brellis::login_app {

using connectivity::PeerDefaults;

std::vector<connectivity::PairingIdentity> PeerDefaultsWrapper::pairingIdentities() const {
  return PeerDefaults::pairingIdentities();
}

void PeerDefaultsWrapper::setPairingIdentities(
    std::optional<std::vector<connectivity::PairingIdentity>> list) const {
  PeerDefaults::setPairingIdentities(std::move(list));
}

platform::multipeer::PeerID PeerDefaultsWrapper::makePeer(const std::string& identifier,
                                                          const std::string& key) const {
  return PeerDefaults::makePeer(identifier, key);
}

std::optional<platform::multipeer::PeerID> PeerDefaultsWrapper::getPeer(
    const std::string& key) const {
  return PeerDefaults::getPeer(key);
}

void PeerDefaultsWrapper::removePeer(const std::string& key) const {
  PeerDefaults::removePeer(key);
}

}  // namespace brellis::login_app
