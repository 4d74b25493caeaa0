#pragma once

#include <p11-kit/pkcs11.h>

namespace brellis::platform::crypto_token_kit::pkcs11 {

// The module's function table (what C_GetFunctionList hands out), and the two functions that
// make and end the module of this process. The token backend of a new module comes from
// makeTokenBackend() (token_backend.h).
CK_FUNCTION_LIST* functionList();
CK_RV initialize(CK_VOID_PTR initArgs);
CK_RV finalize(CK_VOID_PTR reserved);

}  // namespace brellis::platform::crypto_token_kit::pkcs11
