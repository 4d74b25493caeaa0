#include "platform/security/security_error.h"

namespace brellis::platform::security {

std::optional<std::string> errorMessage(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "No error.";
    case errSecCSReqFailed:
      return "code failed to satisfy specified code requirement(s)";
    case errSecCSReqInvalid:
      return "invalid or corrupted code requirement(s)";
    case errSecCSSignatureFailed:
      return "invalid signature (code or signature have been modified)";
    case errSecCSUnsigned:
      return "code object is not signed at all";
    case errSecCSNoSuchCode:
      return "no matching code objects found";
    default:
      return std::nullopt;
  }
}

foundation::ErrorRecord SecurityError::toRecord() const {
  foundation::ErrorRecord record{foundation::kOSStatusErrorDomain, status_, {}};
  record.userInfo.set(foundation::kDebugDescriptionKey, std::string(what()));
  return record;
}

}  // namespace brellis::platform::security
