// Decodes arbitrary bytes as a signature file; only SecurityError may come out.
#include <cstddef>
#include <cstdint>

#include "platform/security/code_signature.h"
#include "platform/security/security_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brellis::platform::security;
  try {
    (void)decodeCodeSignature(brellis::platform::foundation::Bytes(data, data + size));
  } catch (const SecurityError&) {
  }
  return 0;
}
