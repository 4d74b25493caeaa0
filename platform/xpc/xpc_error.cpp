#include "platform/xpc/xpc_error.h"

namespace brellis::platform::xpc {

foundation::ErrorRecord xpcError(int64_t code, const std::string& debugDescription) {
  foundation::ErrorRecord record;
  record.domain = foundation::kCocoaErrorDomain;
  record.code = code;
  if (!debugDescription.empty()) {
    record.userInfo.set(foundation::kDebugDescriptionKey, debugDescription);
  }
  return record;
}

security::Requirement compileRequirement(const std::string& requirementText) {
  try {
    return security::Requirement::compile(requirementText);
  } catch (const security::SecurityError& e) {
    foundation::ErrorRecord record{foundation::kOSStatusErrorDomain, e.status(), {}};
    record.userInfo.set(foundation::kDebugDescriptionKey, std::string(e.what()));
    throw foundation::ErrorException(record);
  }
}

}  // namespace brellis::platform::xpc
