#include "token_host/token_utilities_log.h"

#include "platform/foundation/main_bundle.h"

namespace brellis::token_host {

namespace {
constexpr const char* kLogCategory = "TokenUtilities";
}  // namespace

const platform::os_log::Logger& tokenUtilitiesLog() {
  static const platform::os_log::Logger logger(platform::foundation::mainBundleIdentifier(),
                                               kLogCategory);
  return logger;
}

}  // namespace brellis::token_host
