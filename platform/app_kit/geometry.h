#pragma once

namespace brellis::platform::app_kit {

// Points, sizes and rectangles in points (64-bit floats). Window and screen frames use the
// window server's global coordinates, whose origin is the bottom-left corner with y growing up;
// view layout inside a window uses the view system's coordinates, origin top-left, y growing
// down.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;

  double minX() const { return origin.x; }
  double minY() const { return origin.y; }
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  double midX() const { return origin.x + size.width / 2; }
  double midY() const { return origin.y + size.height / 2; }
  bool contains(Point point) const {
    return point.x >= minX() && point.x < maxX() && point.y >= minY() && point.y < maxY();
  }
  bool operator==(const Rect&) const = default;
};

struct EdgeInsets {
  double top = 0;
  double leading = 0;
  double bottom = 0;
  double trailing = 0;
};

}  // namespace brellis::platform::app_kit
