#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::platform::security {

// The Security framework's status type and the statuses that code signing reports.
using OSStatus = int32_t;

inline constexpr OSStatus errSecSuccess = 0;
// The code is valid but does not satisfy the requirement.
inline constexpr OSStatus errSecCSReqFailed = -67050;
// A requirement text that does not compile.
inline constexpr OSStatus errSecCSReqInvalid = -67052;
// The signature or the executable's hash does not verify.
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
// The code carries no signature.
inline constexpr OSStatus errSecCSUnsigned = -67062;
// No guest (process) matches the given attributes.
inline constexpr OSStatus errSecCSNoSuchCode = -67065;

// The platform's message for a status (SecCopyErrorMessageString); absent for unknown statuses.
std::optional<std::string> errorMessage(OSStatus status);

// Raised by the operations of this layer; `status()` is one of the statuses above and `what()`
// explains it (for a requirement text: where and why it does not compile).
// Bridges to {NSOSStatusErrorDomain, status}, as the platform reports a failed status.
class SecurityError : public foundation::PlatformError {
 public:
  SecurityError(OSStatus status, const std::string& message)
      : foundation::PlatformError(message), status_(status) {}
  OSStatus status() const { return status_; }
  foundation::ErrorRecord toRecord() const override;

 private:
  OSStatus status_;
};

}  // namespace brellis::platform::security
