// Decodes outside input as the phone's two responses: any bytes must either decode or raise the
// decoder's error, and what decodes must encode and decode to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "connectivity_protocol/authentication_response.h"
#include "connectivity_protocol/certificates_response.h"
#include "platform/foundation/decoding_error.h"

namespace cp = brellis::connectivity_protocol;
using brellis::platform::foundation::DecodingError;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brellis::platform::foundation::Bytes bytes(data, data + size);
  try {
    cp::AuthenticationResponse response = cp::AuthenticationResponse::decode(bytes);
    if (!(cp::AuthenticationResponse::decode(response.encode()) == response)) std::abort();
  } catch (const DecodingError&) {
  }
  try {
    cp::CertificatesResponse response = cp::CertificatesResponse::decode(bytes);
    if (!(cp::CertificatesResponse::decode(response.encode()) == response)) std::abort();
  } catch (const DecodingError&) {
  }
  return 0;
}
