#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// The byte forms PKCS#11 uses for keys and signatures, converted from the forms the keychain
// items and the token use. Every reader is strict DER and bounded: anything else gives absent.

// Size in bytes of one coordinate (and of r and s) of a prime curve of `bits` bits.
constexpr size_t ecFieldBytes(int64_t bits) {
  return bits > 0 ? (static_cast<size_t>(bits) + 7) / 8 : 0;
}

// CKA_EC_PARAMS: the DER object identifier of the named curve P-256, P-384 or P-521.
std::optional<foundation::Bytes> ecParametersForKeySize(int64_t bits);

// DER OCTET STRING holding `content` (the CKA_EC_POINT form of a point).
foundation::Bytes derOctetString(const foundation::Bytes& content);

// An X9.62 ECDSA signature (DER SEQUENCE of the INTEGERs r and s) as PKCS#11's r ‖ s, each
// left-padded to `fieldBytes`. Absent for trailing bytes, negative or oversized integers.
std::optional<foundation::Bytes> ecdsaSignatureToRaw(const foundation::Bytes& der,
                                                     size_t fieldBytes);

// The other party's public key of an ECDH derivation as the uncompressed point 04 ‖ X ‖ Y:
// accepted as the raw point, as a DER OCTET STRING holding it, or as a DER SubjectPublicKeyInfo.
// The point must have the size of the curve (`fieldBytes` per coordinate).
std::optional<foundation::Bytes> ecPointFromPublicData(const foundation::Bytes& data,
                                                       size_t fieldBytes);

// The modulus and public exponent (unsigned big-endian, without leading zero bytes) of a PKCS#1
// RSAPublicKey structure.
struct RsaPublicParts {
  foundation::Bytes modulus;
  foundation::Bytes publicExponent;
};
std::optional<RsaPublicParts> rsaPublicKeyParts(const foundation::Bytes& pkcs1);

}  // namespace brellis::platform::crypto_token_kit::pkcs11
