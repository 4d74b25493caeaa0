#include "daemon_client/tarvo_daemon_connection_error.h"

namespace brellis::daemon_client {

namespace {
constexpr const char* kDomain = "TarvoDaemonXPC.TarvoDaemonConnection.Error";
constexpr const char* kUnknownDescription = "An unknown error occurred";
constexpr const char* kCouldntGetProxyDescription =
    "Couldn't get proxy object. Check logs further up for more information.";
}  // namespace

std::string TarvoDaemonConnectionError::errorDescription() const {
  return case_ == Case::unknown ? kUnknownDescription : kCouldntGetProxyDescription;
}

platform::foundation::ErrorRecord TarvoDaemonConnectionError::toRecord() const {
  platform::foundation::ErrorRecord record{kDomain, static_cast<int64_t>(case_), {}};
  record.userInfo.set(platform::foundation::kLocalizedDescriptionKey, errorDescription());
  return record;
}

std::string TarvoDaemonConnectionError::description() const {
  return case_ == Case::unknown ? "unknown" : "couldntGetProxy";
}

}  // namespace brellis::daemon_client
