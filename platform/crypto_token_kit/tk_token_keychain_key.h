#pragma once

#include <memory>
#include <optional>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"

namespace brellis::platform::crypto_token_kit {

// A key item: describes a key held by the token (here: by the phone). Made from the certificate
// of its public key; every capability starts false.
class TKTokenKeychainKey : public TKTokenKeychainItem {
 public:
  // Absent when the certificate's key is of a kind a key item cannot describe.
  static std::shared_ptr<TKTokenKeychainKey> initWithCertificate(const SecCertificate& certificate,
                                                                 ObjectID objectID);
  TKTokenKeychainKey(ObjectID objectID, KeyType keyType, int64_t keySizeInBits,
                     std::optional<foundation::Bytes> publicKeyData);

  KeyType keyType() const { return keyType_; }
  int64_t keySizeInBits() const { return keySizeInBits_; }
  const std::optional<foundation::Bytes>& publicKeyData() const { return publicKeyData_; }

  bool canSign() const { return canSign_; }
  void setCanSign(bool value) { canSign_ = value; }
  bool canDecrypt() const { return canDecrypt_; }
  void setCanDecrypt(bool value) { canDecrypt_ = value; }
  bool canPerformKeyExchange() const { return canPerformKeyExchange_; }
  void setCanPerformKeyExchange(bool value) { canPerformKeyExchange_ = value; }
  bool suitableForLogin() const { return suitableForLogin_; }
  void setSuitableForLogin(bool value) { suitableForLogin_ = value; }

 private:
  KeyType keyType_;
  int64_t keySizeInBits_;
  std::optional<foundation::Bytes> publicKeyData_;
  bool canSign_ = false;
  bool canDecrypt_ = false;
  bool canPerformKeyExchange_ = false;
  bool suitableForLogin_ = false;
};

}  // namespace brellis::platform::crypto_token_kit
