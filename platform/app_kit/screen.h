#pragma once

#include <vector>

#include "platform/app_kit/geometry.h"

namespace brellis::platform::app_kit {

// NSScreen's place: the screens attached to the window server, in its order (the first is the
// one with the menu bar). Read afresh on every call from the window server's folder (see
// WindowServer); a change of them reaches the application delegate as a screen-parameter change.
class Screen {
 public:
  explicit Screen(Rect frame) : frame_(frame) {}
  // In global coordinates (origin bottom-left of the first screen, y up).
  Rect frame() const { return frame_; }
  Rect visibleFrame() const { return frame_; }

  static std::vector<Screen> screens();

 private:
  Rect frame_;
};

}  // namespace brellis::platform::app_kit
