#include "platform/foundation/os_version.h"

#include <atomic>

namespace brellis::platform::foundation {
namespace {

// 0: no override; 1: earlier than 13; 2: 13 or later.
std::atomic<int> gOverride{0};

std::optional<bool> currentOverride() {
  int v = gOverride.load();
  if (v == 0) return std::nullopt;
  return v == 2;
}

}  // namespace

bool isMacOS13OrLater() { return currentOverride().value_or(true); }

void setMacOS13OrLaterOverride(std::optional<bool> value) {
  gOverride.store(!value ? 0 : (*value ? 2 : 1));
}

ScopedMacOSVersionOverride::ScopedMacOSVersionOverride(bool macOS13OrLater)
    : previous_(currentOverride()) {
  setMacOS13OrLaterOverride(macOS13OrLater);
}

ScopedMacOSVersionOverride::~ScopedMacOSVersionOverride() { setMacOS13OrLaterOverride(previous_); }

}  // namespace brellis::platform::foundation
