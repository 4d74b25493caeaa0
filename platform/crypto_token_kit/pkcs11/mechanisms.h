#pragma once

#include <p11-kit/pkcs11.h>

#include <optional>
#include <span>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"
#include "platform/crypto_token_kit/token_service.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// One use of a mechanism: which token operation it becomes, with which algorithm, on which kind
// of key.
struct MechanismUse {
  CK_MECHANISM_TYPE mechanism;
  TKTokenOperation operation;
  KeyType keyType;
  // The algorithm the token service is asked for (it builds the chain from it).
  TokenKeyAlgorithm algorithm;
  // Whether C_SignUpdate may feed the operation (the token receives the whole message at the
  // end either way); false for the mechanisms whose input is one block.
  bool multiPart;
  CK_FLAGS flag;  // CKF_SIGN, CKF_DECRYPT or CKF_DERIVE
};

// Every use the module offers, in the order C_GetMechanismList reports the mechanisms.
std::span<const MechanismUse> mechanismUses();
// The use of `mechanism` for `operation`; absent when the module does not offer it.
std::optional<MechanismUse> mechanismUse(CK_MECHANISM_TYPE mechanism, TKTokenOperation operation);

}  // namespace brellis::platform::crypto_token_kit::pkcs11
