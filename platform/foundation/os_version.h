#pragma once

#include <optional>

namespace brellis::platform::foundation {

// The running system's version test "macOS 13.0 or later". This platform behaves as 13 or later
// (the platform enforces code-signing requirements on listeners and connections); tests
// override it to exercise the earlier branch.
bool isMacOS13OrLater();

// Sets (or, with nullopt, clears) the process-wide override of isMacOS13OrLater().
void setMacOS13OrLaterOverride(std::optional<bool> value);

// Overrides the version test for the lifetime of the object, then restores the previous state.
class ScopedMacOSVersionOverride {
 public:
  explicit ScopedMacOSVersionOverride(bool macOS13OrLater);
  ~ScopedMacOSVersionOverride();
  ScopedMacOSVersionOverride(const ScopedMacOSVersionOverride&) = delete;
  ScopedMacOSVersionOverride& operator=(const ScopedMacOSVersionOverride&) = delete;

 private:
  std::optional<bool> previous_;
};

}  // namespace brellis::platform::foundation
