#pragma once

// How a function of the module's table reaches the module of this process.

#include <p11-kit/pkcs11.h>

#include <memory>
#include <new>

#include "platform/crypto_token_kit/pkcs11/module.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// The module initialised in this process; null before C_Initialize, after C_Finalize, and in a
// child forked after C_Initialize until it calls C_Initialize itself.
std::shared_ptr<Module> currentModule();

// Runs `body`; no exception leaves it (memory exhaustion is CKR_HOST_MEMORY, anything else
// CKR_GENERAL_ERROR).
template <class F>
CK_RV guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

// Runs `body` with the current module, or answers CKR_CRYPTOKI_NOT_INITIALIZED.
template <class F>
CK_RV withModule(F&& body) {
  return guarded([&]() -> CK_RV {
    auto current = currentModule();
    if (!current) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return body(*current);
  });
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
