#pragma once

#include <cstdint>

#include "platform/foundation/error_record.h"

namespace brellis::platform::crypto_token_kit {

// The error domain of CryptoTokenKit; its errors carry no user info.
inline constexpr const char* kTKErrorDomain = "CryptoTokenKit";

enum class TKErrorCode : int64_t {
  notImplemented = -1,
  communicationError = -2,
  corruptedData = -3,
  canceledByUser = -4,
  authenticationFailed = -5,
  objectNotFound = -6,
  tokenNotFound = -7,
  badParameter = -8,
  authenticationNeeded = -9,
};

foundation::ErrorRecord tkErrorRecord(TKErrorCode code);
// Raises foundation::ErrorException holding tkErrorRecord(code).
[[noreturn]] void throwTKError(TKErrorCode code);
// True when `record` is a TKErrorDomain error with that code.
bool isTKError(const foundation::ErrorRecord& record, TKErrorCode code);

}  // namespace brellis::platform::crypto_token_kit
