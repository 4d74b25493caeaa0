#include "platform/foundation/main_bundle.h"

#include <cstdlib>

namespace brellis::platform::foundation {

namespace {
constexpr const char* kBundleIdentifierVariable = "BRELLIS_BUNDLE_IDENTIFIER";
}  // namespace

std::string mainBundleIdentifier() {
  const char* identifier = std::getenv(kBundleIdentifierVariable);
  return identifier ? identifier : "";
}

}  // namespace brellis::platform::foundation
