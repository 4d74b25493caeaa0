#pragma once

#include "platform/app_kit/view.h"

namespace brellis::login_app {

// The login window's switch: the label, then a 38 x 23 track (standard blue when on, `offColor`
// when off, a fine grey outline) with a white knob that slides 8 points either side of the
// track's centre in 0.14 s. Only the track reacts to a tap.
struct LoginToggleStyle : platform::app_kit::ToggleStyle {
  static constexpr double kTrackWidth = 38;
  static constexpr double kTrackHeight = 23;
  static constexpr double kTrackCornerRadius = 18;
  static constexpr double kOutlineWidth = 0.4;
  static constexpr double kKnobInset = 1.1;
  static constexpr double kKnobTravel = 8;
  static constexpr double kSlideDuration = 0.14;

  explicit LoginToggleStyle(platform::app_kit::Color offColor) : offColor(offColor) {}

  platform::app_kit::View makeBody(
      const platform::app_kit::ToggleConfiguration& configuration) const override;

  platform::app_kit::Color offColor;
};

}  // namespace brellis::login_app
