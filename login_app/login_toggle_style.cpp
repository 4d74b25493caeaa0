#include "login_app/login_toggle_style.h"

namespace brellis::login_app {

using namespace platform::app_kit;

View LoginToggleStyle::makeBody(const ToggleConfiguration& configuration) const {
  const bool isOn = configuration.isOn.get();
  const Shape track = Shape::roundedRectangle(kTrackCornerRadius, CornerStyle::continuous);
  Binding<bool> binding = configuration.isOn;
  return HStack({
      configuration.label,
      track.fill(isOn ? Color::standardBlue() : offColor)
          .frame(kTrackWidth, kTrackHeight)
          .overlay(track.stroke(Color::standardGray(), StrokeStyle{kOutlineWidth}))
          .overlay(Shape::circle()
                       .fill(Color::whiteColor())
                       .padding(kKnobInset)
                       .offset(isOn ? kKnobTravel : -kKnobTravel, 0))
          .animation(Animation::easeInOut(kSlideDuration))
          .onTapGesture([binding] { binding.set(!binding.get()); }),
  });
}

}  // namespace brellis::login_app
