#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/error_record.h"
#include "platform/security/code_signing.h"

namespace brellis::platform::xpc {

// The platform errors with which a message ends when no reply comes (NSCocoaErrorDomain).
inline constexpr int64_t kErrorConnectionInterrupted = 4097;
inline constexpr int64_t kErrorConnectionInvalid = 4099;
inline constexpr int64_t kErrorConnectionReplyInvalid = 4101;
inline constexpr int64_t kErrorCodeSigningRequirementFailure = 4102;

// {NSCocoaErrorDomain, code, {NSDebugDescription: debugDescription}} (no user info when empty).
foundation::ErrorRecord xpcError(int64_t code, const std::string& debugDescription = {});

// Compiles a code-signing requirement for a connection or a listener; a text that does not
// compile raises the platform's error (NSOSStatusErrorDomain with the compiler's status).
security::Requirement compileRequirement(const std::string& requirementText);

}  // namespace brellis::platform::xpc
