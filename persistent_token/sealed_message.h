#pragma once

#include <cstddef>
#include <string>

#include "persistent_token/velkor_shared_secret.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"

// The framing of every message exchanged with the phone, without the daemon: the key derived from
// a shared secret, sealing and opening. SymmetricCryptoService fetches the secret and uses these.
namespace brellis::persistent_token {

// Raised by SymmetricCryptoService (only cannotCreateCombinedEncryptedData is ever raised); bridges
// as "PersistentToken.SymmetricCryptoService.SymmetricCryptoServiceError" with the case position as
// code.
class SymmetricCryptoServiceError : public platform::foundation::BridgedError {
 public:
  enum class Case {
    iOSUnlockCertificateNotFound,
    unableToParseCertificateData,
    unableToCopyExternalRepOfThePublicKey,
    cannotCreateCombinedEncryptedData,
  };
  static constexpr const char* kDomain =
      "PersistentToken.SymmetricCryptoService.SymmetricCryptoServiceError";

  explicit SymmetricCryptoServiceError(Case value) : value_(value) {}
  Case value() const { return value_; }
  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;  // the case name

 private:
  Case value_;
};

inline constexpr size_t kNonceByteCount = 12;
inline constexpr size_t kTagByteCount = 16;
inline constexpr size_t kKeyByteCount = 32;

// X9.63 over SHA-256 of `sharedSecret`, no shared info, 32 bytes.
SymmetricKey deriveSessionKey(const platform::foundation::Bytes& sharedSecret);
// nonce (12, fresh from the system's random source) ‖ ciphertext ‖ tag (16), no additional data.
// Raises platform::crypto::CryptoError randomSourceFailed without a nonce, and
// SymmetricCryptoServiceError cannotCreateCombinedEncryptedData without a combined form.
platform::foundation::Bytes sealMessage(const SymmetricKey& key,
                                        const platform::foundation::Bytes& plaintext);
// Raises platform::crypto::CryptoError incorrectParameterSize under 28 bytes and
// authenticationFailure for a tag that does not verify.
platform::foundation::Bytes openMessage(const SymmetricKey& key,
                                        const platform::foundation::Bytes& sealed);

}  // namespace brellis::persistent_token
