#include "login_app/stored_unlock_data.h"

#include "connectivity/peer_defaults.h"

namespace brellis::login_app {

using Key = group_defaults::GroupDefaults::Key;

std::optional<token_host::UnlockData> storedUnlockData(
    const std::optional<group_defaults::GroupDefaults>& groupDefaults) {
  if (!groupDefaults) return std::nullopt;
  auto certificate = groupDefaults->data(Key::certificate);
  if (!certificate) return std::nullopt;
  auto container = connectivity::PeerDefaults::getPeer(
      group_defaults::GroupDefaults::rawValue(Key::containerPeer));
  if (!container) return std::nullopt;
  auto driver =
      connectivity::PeerDefaults::getPeer(group_defaults::GroupDefaults::rawValue(Key::driverPeer));
  if (!driver) return std::nullopt;
  bool requirePIN = groupDefaults->boolean(Key::requirePIN);
  auto identities = connectivity::PeerDefaults::pairingIdentities();
  auto version = groupDefaults->integer(Key::unlockVersion) == 1
                     ? connectivity_protocol::UnlockVersion::unlock_1_2_0
                     : connectivity_protocol::UnlockVersion::undefined;
  return token_host::UnlockData(std::move(*certificate), requirePIN, container->displayName(),
                                driver->displayName(), std::move(identities), version);
}

}  // namespace brellis::login_app
