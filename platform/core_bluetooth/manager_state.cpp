#include "platform/core_bluetooth/manager_state.h"

namespace brellis::platform::core_bluetooth {

foundation::ErrorRecord radioError(int64_t code, const std::string& localizedDescription) {
  foundation::ErrorRecord record{kErrorDomain, code, {}};
  record.userInfo.set(foundation::kLocalizedDescriptionKey, localizedDescription);
  return record;
}

}  // namespace brellis::platform::core_bluetooth
