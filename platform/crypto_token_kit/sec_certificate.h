#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// The kinds of public key a keychain key item can describe.
enum class KeyType {
  rsa,               // kSecAttrKeyTypeRSA
  ecSECPrimeRandom,  // kSecAttrKeyTypeECSECPrimeRandom (NIST P-256, P-384, P-521)
};

// The public key of a certificate in the form the keychain describes it.
struct CertificatePublicKey {
  KeyType keyType = KeyType::rsa;
  int64_t keySizeInBits = 0;
  // RSA: the PKCS#1 RSAPublicKey structure (DER). EC: the uncompressed point 04 ‖ X ‖ Y, each
  // coordinate padded to the curve's field size.
  foundation::Bytes publicKeyData;
};

// An X.509 certificate made from its DER bytes (the SecCertificate of the platform). Immutable;
// shared between the items made from it.
class SecCertificate {
 public:
  // Absent unless `der` is exactly one DER-encoded X.509 certificate: PEM text, trailing bytes
  // and truncated input are all refused.
  static std::shared_ptr<const SecCertificate> createWithData(const foundation::Bytes& der);

  const foundation::Bytes& data() const { return der_; }
  // Absent when the key is of a kind the keychain items do not describe (e.g. Ed25519, or an
  // elliptic curve other than P-256, P-384 and P-521).
  const std::optional<CertificatePublicKey>& publicKey() const { return publicKey_; }

 private:
  SecCertificate(foundation::Bytes der, std::optional<CertificatePublicKey> key)
      : der_(std::move(der)), publicKey_(std::move(key)) {}
  foundation::Bytes der_;
  std::optional<CertificatePublicKey> publicKey_;
};

}  // namespace brellis::platform::crypto_token_kit
