#include "token_host/group_defaults_writer.h"

#include "connectivity/peer_defaults.h"
#include "group_defaults/group_defaults.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "token_host/token_utilities_log.h"

namespace brellis::token_host {

namespace {

using Key = group_defaults::GroupDefaults::Key;

constexpr const char* kSetGroupDefaults = "Set group defaults to match Unlock data";
constexpr const char* kSettingPairingIdentities = "Setting pairing identities";
constexpr const char* kPairingParametersUndefined =
    "Unable to pair; pairing identity parameters are undefined";

// The application-group suite the writers use; made once per process, absent when the platform
// refuses the suite.
const std::optional<group_defaults::GroupDefaults>& groupDefaults() {
  static const std::optional<group_defaults::GroupDefaults> defaults =
      group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name);
  return defaults;
}

void removePeers() {
  connectivity::PeerDefaults::removePeer(
      group_defaults::GroupDefaults::rawValue(Key::containerPeer));
  connectivity::PeerDefaults::removePeer(group_defaults::GroupDefaults::rawValue(Key::driverPeer));
}

}  // namespace

void setGroupDefaults(const UnlockData& data) {
  tokenUtilitiesLog().info(kSetGroupDefaults);
  removePeers();
  const auto& defaults = groupDefaults();
  if (defaults) {
    defaults->set(data.certificate(), Key::certificate);
    defaults->set(data.requirePIN(), Key::requirePIN);
    defaults->set(true, Key::enableUnlockForLogin);
  }
  std::optional<platform::foundation::Bytes> identities;
  try {
    identities = connectivity::encodePairingIdentities(data.pairingIdentities());
  } catch (const std::exception&) {
    // An encoding failure leaves the value absent, unreported.
  }
  if (defaults) {
    if (identities) {
      defaults->set(std::move(*identities), Key::pairingIdentities);
    } else {
      defaults->removeValue(Key::pairingIdentities);
    }
    defaults->set(connectivity_protocol::rawValue(data.unlockVersion()), Key::unlockVersion);
  }
}

void removeGroupDefaults() {
  removePeers();
  if (const auto& defaults = groupDefaults()) defaults->removeAll();
}

void setPairingIdentities(const std::optional<std::string>& identifier,
                          const std::optional<std::string>& name,
                          const std::optional<platform::foundation::Bytes>& salt) {
  tokenUtilitiesLog().info(kSettingPairingIdentities);
  if (!identifier || !name || !salt) {
    tokenUtilitiesLog().error(kPairingParametersUndefined);
    platform::crypto_token_kit::throwTKError(platform::crypto_token_kit::TKErrorCode::badParameter);
  }
  connectivity::PeerDefaults::setPairingIdentities(std::vector<connectivity::PairingIdentity>{
      connectivity::PairingIdentity(*identifier, *name, *salt, {})});
}

}  // namespace brellis::token_host
