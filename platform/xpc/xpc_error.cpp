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

}  // namespace brellis::platform::xpc
