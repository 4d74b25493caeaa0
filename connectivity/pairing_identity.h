#pragma once

#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::connectivity {

// One paired phone. Equal when identifier, name, salt and public key are all equal.
class PairingIdentity {
 public:
  PairingIdentity(std::string identifier, std::string name, platform::foundation::Bytes salt,
                  platform::foundation::Bytes publicKey)
      : identifier_(std::move(identifier)),
        name_(std::move(name)),
        salt_(std::move(salt)),
        publicKey_(std::move(publicKey)) {}

  // The paired device's peer display name.
  const std::string& identifier() const { return identifier_; }
  const std::string& name() const { return name_; }
  const platform::foundation::Bytes& salt() const { return salt_; }
  const platform::foundation::Bytes& publicKey() const { return publicKey_; }

  // {"identifier": string, "name": string, "salt": data, "publicKey": data}.
  platform::foundation::PlistValue toPropertyList() const;
  // Requires all four keys with those kinds; other keys are ignored. Raises
  // platform::foundation::DecodingError.
  static PairingIdentity fromPropertyList(const platform::foundation::PlistValue& value,
                                          std::vector<std::string> codingPath = {});

  bool operator==(const PairingIdentity&) const = default;

 private:
  std::string identifier_;
  std::string name_;
  platform::foundation::Bytes salt_;
  platform::foundation::Bytes publicKey_;
};

// The binary property list of a list of identities (an array of their dictionaries).
platform::foundation::Bytes encodePairingIdentities(const std::vector<PairingIdentity>& list);
// Raises platform::foundation::DecodingError when the bytes do not hold such a list.
std::vector<PairingIdentity> decodePairingIdentities(const platform::foundation::Bytes& bytes);

}  // namespace brellis::connectivity
