#pragma once

#include <string>

#include "platform/crypto_token_kit/tk_token_keychain_item.h"

namespace brellis::platform::crypto_token_kit {

// One token instance of a driver class in the shared store. The object is a handle: reading
// `keychainItems` reads the store, setting them writes through at once (visible to every
// process). Once the instance has been removed, reads give no items and writes do nothing.
class TKTokenConfiguration {
 public:
  TKTokenConfiguration(std::string classID, std::string instanceID)
      : classID_(std::move(classID)), instanceID_(std::move(instanceID)) {}

  const std::string& classID() const { return classID_; }
  const std::string& instanceID() const { return instanceID_; }

  TKTokenKeychainItems keychainItems() const;
  // False when the instance no longer exists or the store cannot be written.
  bool setKeychainItems(const TKTokenKeychainItems& items) const;

 private:
  std::string classID_;
  std::string instanceID_;
};

}  // namespace brellis::platform::crypto_token_kit
