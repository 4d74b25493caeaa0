#pragma once

#include <string>
#include <vector>

#include "connectivity/pairing_identity.h"
#include "connectivity_protocol/unlock_version.h"
#include "platform/foundation/plist_value.h"

namespace brellis::token_host {

// What the daemon holds for this computer: the certificate of the phone-held key, whether a PIN
// is required, the two peers' display names, the paired phones and the phone's protocol version.
// An immutable value.
class UnlockData {
 public:
  static constexpr const char* kCertificateKey = "certificate";
  static constexpr const char* kRequirePINKey = "requirePIN";
  static constexpr const char* kContainerIDKey = "containerID";
  static constexpr const char* kDriverIDKey = "driverID";
  static constexpr const char* kPairingIdentitiesKey = "pairingIdentities";
  static constexpr const char* kUnlockVersionKey = "unlockVersion";

  UnlockData(platform::foundation::Bytes certificate, bool requirePIN, std::string containerID,
             std::string driverID, std::vector<connectivity::PairingIdentity> pairingIdentities,
             connectivity_protocol::UnlockVersion unlockVersion);

  const platform::foundation::Bytes& certificate() const { return certificate_; }
  bool requirePIN() const { return requirePIN_; }
  const std::string& containerID() const { return containerID_; }
  const std::string& driverID() const { return driverID_; }
  const std::vector<connectivity::PairingIdentity>& pairingIdentities() const {
    return pairingIdentities_;
  }
  connectivity_protocol::UnlockVersion unlockVersion() const { return unlockVersion_; }

  // All six fields, in order; the identities pairwise in order.
  bool operator==(const UnlockData& other) const;

  // The property-list tree of the record: the six keys in order, the version as its integer.
  platform::foundation::PlistValue encode() const;
  // Every key is required; an unlockVersion other than 0 or 1 fails. Raises
  // platform::foundation::DecodingError.
  static UnlockData decode(const platform::foundation::PlistValue& tree);

 private:
  platform::foundation::Bytes certificate_;
  bool requirePIN_;
  std::string containerID_;
  std::string driverID_;
  std::vector<connectivity::PairingIdentity> pairingIdentities_;
  connectivity_protocol::UnlockVersion unlockVersion_;
};

}  // namespace brellis::token_host
