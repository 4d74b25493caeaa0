#pragma once

#include <optional>
#include <string>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::multipeer {

// A peer of the local link: a display name plus a unique identity. Two peers with the same
// display name are different peers; equality and ordering go by the identity alone.
class PeerID {
 public:
  explicit PeerID(std::string displayName);  // a new, unique identity
  PeerID(std::string displayName, std::string uniqueIdentity);

  const std::string& displayName() const { return displayName_; }
  const std::string& uniqueIdentity() const { return uniqueIdentity_; }

  bool operator==(const PeerID& other) const { return uniqueIdentity_ == other.uniqueIdentity_; }
  bool operator<(const PeerID& other) const { return uniqueIdentity_ < other.uniqueIdentity_; }

 private:
  std::string displayName_;
  std::string uniqueIdentity_;
};

// The keyed archive of one PeerID (class "MCPeerID"), made with secure coding. Unarchiving
// allows that class only: anything else (not an archive, another class, missing fields) is absent.
std::optional<foundation::Bytes> archivePeerID(const PeerID& peer);
std::optional<PeerID> unarchivePeerID(const foundation::Bytes& archive);

}  // namespace brellis::platform::multipeer
