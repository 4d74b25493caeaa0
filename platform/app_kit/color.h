#pragma once

namespace brellis::platform::app_kit {

// An sRGB colour with straight (not premultiplied) components in 0...1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double opacity = 1;

  static constexpr Color sRGB(double red, double green, double blue, double opacity = 1) {
    return {red, green, blue, opacity};
  }
  // A grey of the given white level.
  static constexpr Color white(double level, double opacity = 1) {
    return {level, level, level, opacity};
  }
  static constexpr Color whiteColor() { return {1, 1, 1, 1}; }
  static constexpr Color black() { return {0, 0, 0, 1}; }
  static constexpr Color clear() { return {0, 0, 0, 0}; }
  // The view system's standard blue and grey (light appearance).
  static constexpr Color standardBlue() { return {0, 122.0 / 255, 1, 1}; }
  static constexpr Color standardGray() { return {142.0 / 255, 142.0 / 255, 147.0 / 255, 1}; }

  // The colour `fraction` of the way from this one to `to` (each component linearly).
  Color interpolated(const Color& to, double fraction) const {
    auto mix = [fraction](double a, double b) { return a + (b - a) * fraction; };
    return {mix(red, to.red), mix(green, to.green), mix(blue, to.blue), mix(opacity, to.opacity)};
  }
  bool operator==(const Color&) const = default;
};

}  // namespace brellis::platform::app_kit
