// Decodes arbitrary bytes as a signature file; only the decoder's DecodingError may come out.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/decoding_error.h"
#include "platform/security/code_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brellis::platform::security;
  try {
    (void)decodeCodeSignature(brellis::platform::foundation::Bytes(data, data + size));
  } catch (const brellis::platform::foundation::DecodingError&) {
  }
  return 0;
}
