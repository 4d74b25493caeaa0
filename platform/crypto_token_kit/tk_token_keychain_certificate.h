#pragma once

#include <memory>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"

namespace brellis::platform::crypto_token_kit {

// A certificate item: the DER bytes of a certificate in the token's keychain contents.
class TKTokenKeychainCertificate : public TKTokenKeychainItem {
 public:
  // Absent when the bytes of the certificate cannot be taken (never for a parsed certificate).
  static std::shared_ptr<TKTokenKeychainCertificate> initWithCertificate(
      const SecCertificate& certificate, ObjectID objectID);
  TKTokenKeychainCertificate(ObjectID objectID, foundation::Bytes data)
      : TKTokenKeychainItem(std::move(objectID)), data_(std::move(data)) {}

  const foundation::Bytes& data() const { return data_; }

 private:
  foundation::Bytes data_;
};

}  // namespace brellis::platform::crypto_token_kit
