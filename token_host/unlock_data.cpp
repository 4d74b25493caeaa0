#include "token_host/unlock_data.h"

#include "connectivity_protocol/record_reader.h"

namespace brellis::token_host {

namespace {

using platform::foundation::Bytes;
using platform::foundation::PlistArray;
using platform::foundation::PlistDict;
using platform::foundation::PlistValue;

}  // namespace

UnlockData::UnlockData(Bytes certificate, bool requirePIN, std::string containerID,
                       std::string driverID,
                       std::vector<connectivity::PairingIdentity> pairingIdentities,
                       connectivity_protocol::UnlockVersion unlockVersion)
    : certificate_(std::move(certificate)),
      requirePIN_(requirePIN),
      containerID_(std::move(containerID)),
      driverID_(std::move(driverID)),
      pairingIdentities_(std::move(pairingIdentities)),
      unlockVersion_(unlockVersion) {}

bool UnlockData::operator==(const UnlockData& other) const {
  return certificate_ == other.certificate_ && requirePIN_ == other.requirePIN_ &&
         containerID_ == other.containerID_ && driverID_ == other.driverID_ &&
         pairingIdentities_ == other.pairingIdentities_ && unlockVersion_ == other.unlockVersion_;
}

PlistValue UnlockData::encode() const {
  PlistDict dict;
  dict.set(kCertificateKey, certificate_);
  dict.set(kRequirePINKey, requirePIN_);
  dict.set(kContainerIDKey, containerID_);
  dict.set(kDriverIDKey, driverID_);
  PlistArray identities;
  for (const auto& identity : pairingIdentities_) identities.push_back(identity.toPropertyList());
  dict.set(kPairingIdentitiesKey, std::move(identities));
  dict.set(kUnlockVersionKey, connectivity_protocol::rawValue(unlockVersion_));
  return dict;
}

UnlockData UnlockData::decode(const PlistValue& tree) {
  connectivity_protocol::RecordReader reader(tree);
  Bytes certificate = reader.data(kCertificateKey);
  auto requirePIN = reader.require(kRequirePINKey).boolean();
  if (!requirePIN) reader.typeMismatch(kRequirePINKey, "Bool");
  std::string containerID = reader.string(kContainerIDKey);
  std::string driverID = reader.string(kDriverIDKey);
  const PlistValue& identitiesValue = reader.require(kPairingIdentitiesKey);
  const PlistArray* identitiesArray = identitiesValue.array();
  if (!identitiesArray) reader.typeMismatch(kPairingIdentitiesKey, "Array<PairingIdentity>");
  std::vector<connectivity::PairingIdentity> identities;
  auto path = reader.pathTo(kPairingIdentitiesKey);
  for (size_t i = 0; i < identitiesArray->size(); ++i) {
    auto elementPath = path;
    elementPath.push_back("Index " + std::to_string(i));
    identities.push_back(
        connectivity::PairingIdentity::fromPropertyList((*identitiesArray)[i], elementPath));
  }
  int64_t versionNumber = reader.int64(kUnlockVersionKey);
  auto version = connectivity_protocol::unlockVersion(versionNumber);
  if (!version) {
    reader.corrupted(kUnlockVersionKey, "Cannot initialize UnlockVersion from invalid Int value " +
                                            std::to_string(versionNumber));
  }
  return UnlockData(std::move(certificate), *requirePIN, std::move(containerID),
                    std::move(driverID), std::move(identities), *version);
}

}  // namespace brellis::token_host
