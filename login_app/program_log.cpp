#include "login_app/program_log.h"

#include "platform/foundation/main_bundle.h"

namespace brellis::login_app {

namespace {
constexpr const char* kFallbackSubsystem = "Brellis";
}  // namespace

const std::string& programLogSubsystem() {
  static const std::string subsystem = [] {
    std::string identifier = platform::foundation::mainBundleIdentifier();
    return identifier.empty() ? std::string(kFallbackSubsystem) : identifier;
  }();
  return subsystem;
}

}  // namespace brellis::login_app
