#pragma once

#include <memory>
#include <mutex>

#include "platform/crypto_token_kit/object_id.h"
#include "platform/crypto_token_kit/tk_result.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace brellis::platform::crypto_token_kit {

// The keychain items a token exposes, filled by the token service from the token's
// configuration. Thread-safe: the service refills it when the configuration changes while
// sessions look keys up on other threads.
class TKTokenKeychainContents {
 public:
  void fillWithItems(TKTokenKeychainItems items);
  TKTokenKeychainItems items() const;

  // The key item with that object ID; TKErrorDomain -6 (object not found) when there is none.
  TKResult<std::shared_ptr<TKTokenKeychainKey>> keyForObjectID(const ObjectID& objectID) const;
  // Likewise for a certificate item.
  TKResult<std::shared_ptr<TKTokenKeychainCertificate>> certificateForObjectID(
      const ObjectID& objectID) const;

 private:
  mutable std::mutex mutex_;
  TKTokenKeychainItems items_;
};

}  // namespace brellis::platform::crypto_token_kit
