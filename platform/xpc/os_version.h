#pragma once

// The version test moved to platform/foundation (it is not an XPC matter); these names stay for
// the code that still reaches it through the XPC layer.
#include "platform/foundation/os_version.h"

namespace brellis::platform::xpc {

using foundation::isMacOS13OrLater;
using foundation::ScopedMacOSVersionOverride;
using foundation::setMacOS13OrLaterOverride;

}  // namespace brellis::platform::xpc
