#include "login_app/beacon_error.h"

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
    case Code::corruptContainerUUIDString: {
      // Swift's form of a string payload: quotes, with quotes and backslashes escaped.
      std::string quoted;
      for (char c : containerID_) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
      }
      return "corruptContainerUUIDString(\"" + quoted + "\")";
    }
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
