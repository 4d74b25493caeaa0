#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>

#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto {

using foundation::Bytes;

// Raised by the operations below; `status()` tells why. Bridges as CryptoKit's error would:
// domain "CryptoKit.CryptoKitError", code the case position (incorrectKeySize 0,
// incorrectParameterSize 1, authenticationFailure 2, underlyingCoreCryptoError 3 for a failing
// random source or library).
class CryptoError : public foundation::PlatformError {
 public:
  enum class Status {
    randomSourceFailed,
    incorrectKeySize,
    incorrectParameterSize,
    authenticationFailure,
    internal
  };
  CryptoError(Status status, const std::string& message)
      : foundation::PlatformError(message), status_(status) {}
  Status status() const { return status_; }
  foundation::ErrorRecord toRecord() const override;

 private:
  Status status_;
};

Bytes sha256(const Bytes& data);
Bytes sha256(const void* data, size_t size);
// The SHA-256 of everything readable from `fd` from its current offset, read in blocks so a
// large file is never held in memory; absent on a read error or past `limit` bytes.
std::optional<Bytes> sha256OfDescriptor(int fd, size_t limit);

// Bytes from the system's random source; raises randomSourceFailed rather than returning
// anything predictable.
Bytes randomBytes(size_t count);

// Constant-time comparison; false when the sizes differ.
bool constantTimeEqual(const Bytes& a, const Bytes& b);

// AES-GCM with a 12-byte nonce and a 16-byte tag, no additional data. The key is 16, 24 or 32
// bytes (incorrectKeySize otherwise).
struct SealedBox {
  Bytes nonce;  // 12 bytes
  Bytes ciphertext;
  Bytes tag;  // 16 bytes
  // nonce ‖ ciphertext ‖ tag
  Bytes combined() const;
};
// Seals with a fresh random nonce.
SealedBox aesGcmSeal(const Bytes& key, const Bytes& plaintext);
SealedBox aesGcmSeal(const Bytes& key, const Bytes& plaintext, const Bytes& nonce);
// Opens nonce ‖ ciphertext ‖ tag: fewer than 28 bytes -> incorrectParameterSize; a wrong tag ->
// authenticationFailure.
Bytes aesGcmOpen(const Bytes& key, const Bytes& combined);

// Overwrites the bytes with zeros in a way the compiler keeps.
void wipe(Bytes& bytes);

}  // namespace brellis::platform::crypto
