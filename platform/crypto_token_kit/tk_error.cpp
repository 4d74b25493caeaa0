#include "platform/crypto_token_kit/tk_error.h"

namespace brellis::platform::crypto_token_kit {

foundation::ErrorRecord tkErrorRecord(TKErrorCode code) {
  return foundation::ErrorRecord{kTKErrorDomain, static_cast<int64_t>(code), {}};
}

void throwTKError(TKErrorCode code) { throw foundation::ErrorException(tkErrorRecord(code)); }

bool isTKError(const foundation::ErrorRecord& record, TKErrorCode code) {
  return record.domain == kTKErrorDomain && record.code == static_cast<int64_t>(code);
}

}  // namespace brellis::platform::crypto_token_kit
