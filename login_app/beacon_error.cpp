#include "login_app/beacon_error.h"

#include "platform/os_log/log_text.h"

namespace brellis::login_app {

BeaconError BeaconError::corruptContainerUUIDString(std::string containerID) {
  return BeaconError(Code::corruptContainerUUIDString, std::move(containerID));
}

platform::foundation::ErrorRecord BeaconError::toRecord() const {
  platform::foundation::ErrorRecord record{kDomain, static_cast<int64_t>(code_), {}};
  if (code_ == Code::corruptContainerUUIDString) {
    record.userInfo.set(platform::foundation::kDebugDescriptionKey,
                        platform::foundation::PlistValue(description()));
  }
  return record;
}

std::string BeaconError::description() const {
  switch (code_) {
    case Code::corruptContainerUUIDString:
      // The identifier in the string's own escaped form: it came from another process and may
      // hold line breaks or other controls.
      return "corruptContainerUUIDString(" + platform::os_log::quotedDescription(containerID_) +
             ")";
    case Code::unlockDataDecodeFailed:
      return "unlockDataDecodeFailed";
    case Code::timedOut:
      return "timedOut";
    case Code::canceled:
      return "canceled";
  }
  return "canceled";
}

}  // namespace brellis::login_app
