#pragma once

#include <p11-kit/pkcs11.h>

#include "platform/crypto_token_kit/tk_token_keychain_item.h"
#include "platform/foundation/error_record.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// How the PIN protocol went during one key operation.
struct PinUse {
  bool requested = false;  // the token asked for a PIN
  bool given = false;      // the module had one and gave it
};

// The return value of a key operation that failed with `error` (a TKErrorDomain record of the
// token, or one of the token service); the table in docs/architecture.md.
CK_RV returnValueForError(const foundation::ErrorRecord& error, TKTokenOperation operation,
                          PinUse pin);

}  // namespace brellis::platform::crypto_token_kit::pkcs11
