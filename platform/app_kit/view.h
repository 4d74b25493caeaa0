#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_kit/color.h"
#include "platform/app_kit/geometry.h"

namespace brellis::platform::app_kit {

// A two-way connection to a value that lives elsewhere (a state object's property).
template <class T>
struct Binding {
  std::function<T()> get;
  std::function<void(T)> set;
};

// The timing of an implicit animation: a cubic timing curve through (0,0), the two control
// points and (1,1), run over `duration` seconds.
struct Animation {
  double duration = 0.35;
  double controlX1 = 0.42, controlY1 = 0, controlX2 = 0.58, controlY2 = 1;

  static Animation easeInOut(double duration) { return {duration, 0.42, 0, 0.58, 1}; }
  // The animated fraction (0...1) at `progress` (0...1) of the duration.
  double fraction(double progress) const;
  bool operator==(const Animation&) const = default;
};

enum class CornerStyle { circular, continuous };

struct StrokeStyle {
  double lineWidth = 1;
  enum class Cap { butt, round, square } cap = Cap::butt;
  enum class Join { miter, round, bevel } join = Join::miter;
  double miterLimit = 10;
};

// One node of a view tree. Trees are immutable once built and cheap to copy (shared nodes); a
// view's body is evaluated again on every change of the state it reads.
struct ViewNode;

class View {
 public:
  explicit View(std::shared_ptr<const ViewNode> node) : node_(std::move(node)) {}
  const ViewNode& node() const { return *node_; }

  // Modifiers: each returns a new view that wraps this one.
  View frame(double width, double height) const;
  View padding(double length) const;
  View padding(EdgeInsets insets) const;
  View offset(double x, double y) const;
  View overlay(View overlay) const;
  View opacity(double value) const;
  View luminanceToAlpha() const;
  // Every change of the wrapped subtree's animatable values (offsets, fills, opacities) is
  // animated with `animation`, unless the update that carries it disables animations.
  View animation(Animation animation) const;
  View onTapGesture(std::function<void()> action) const;
  View foregroundColor(Color color) const;
  View lineLimit(int lines) const;

 private:
  std::shared_ptr<const ViewNode> node_;
};

// Stacks place their children centred across the stacking axis.
View HStack(std::vector<View> children, std::optional<double> spacing = std::nullopt);
View ZStack(std::vector<View> children);

// Shapes fill the space proposed to them (a circle the largest centred square).
class Shape {
 public:
  static Shape roundedRectangle(double cornerRadius, CornerStyle style);
  static Shape circle();
  View fill(Color color) const;
  View stroke(Color color, StrokeStyle style) const;

  enum class Kind { roundedRectangle, circle };
  Kind kind = Kind::circle;
  double cornerRadius = 0;
  CornerStyle cornerStyle = CornerStyle::circular;
};

// An image of the main bundle's assets, at its own size; without such an asset it is empty.
View Image(std::string name);
// A text shown verbatim in the system font (13 points, one line unless limited otherwise).
View Text(std::string verbatim);

// A switch. Its appearance and behaviour come wholly from the style's body.
struct ToggleConfiguration {
  View label;
  Binding<bool> isOn;
};
class ToggleStyle {
 public:
  virtual ~ToggleStyle() = default;
  virtual View makeBody(const ToggleConfiguration& configuration) const = 0;
};
View Toggle(Binding<bool> isOn, View label, const ToggleStyle& style);

struct ViewNode {
  enum class Kind {
    hstack,
    zstack,
    shape,
    image,
    text,
    frame,
    padding,
    offset,
    overlay,
    opacity,
    luminanceToAlpha,
    animation,
    tapGesture,
    foreground,
  };
  Kind kind;
  std::vector<View> children;  // stacks: the children; overlay: base then overlay; else one

  std::optional<double> spacing;  // hstack
  Shape shape;                    // shape
  bool stroked = false;
  Color color;  // shape fill or stroke; foreground colour
  StrokeStyle strokeStyle;
  std::string string;  // image name, text
  int lineLimit = 0;   // text: 0 = no limit
  Size size;           // frame
  EdgeInsets insets;   // padding
  Point offset;        // offset
  double value = 1;    // opacity
  Animation animationValue;
  std::function<void()> action;  // tap gesture
};

}  // namespace brellis::platform::app_kit
