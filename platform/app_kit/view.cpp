#include "platform/app_kit/view.h"

#include <algorithm>

namespace brellis::platform::app_kit {

namespace {

View make(ViewNode node) { return View(std::make_shared<const ViewNode>(std::move(node))); }

View wrap(ViewNode::Kind kind, const View& child) {
  ViewNode node{kind};
  node.children.push_back(child);
  return make(std::move(node));
}

double cubic(double a, double b, double t) {
  // A cubic through 0, a, b, 1 at t.
  const double u = 1 - t;
  return 3 * u * u * t * a + 3 * u * t * t * b + t * t * t;
}

}  // namespace

double Animation::fraction(double progress) const {
  if (progress <= 0) return 0;
  if (progress >= 1) return 1;
  // Find t with x(t) = progress by bisection (x is monotonic for control x values in 0...1).
  double low = 0, high = 1, t = progress;
  for (int i = 0; i < 60; ++i) {
    t = (low + high) / 2;
    if (cubic(controlX1, controlX2, t) < progress) {
      low = t;
    } else {
      high = t;
    }
  }
  return cubic(controlY1, controlY2, t);
}

View View::frame(double width, double height) const {
  ViewNode node{ViewNode::Kind::frame};
  node.children.push_back(*this);
  node.size = {width, height};
  return make(std::move(node));
}

View View::padding(double length) const { return padding({length, length, length, length}); }

View View::padding(EdgeInsets insets) const {
  ViewNode node{ViewNode::Kind::padding};
  node.children.push_back(*this);
  node.insets = insets;
  return make(std::move(node));
}

View View::offset(double x, double y) const {
  ViewNode node{ViewNode::Kind::offset};
  node.children.push_back(*this);
  node.offset = {x, y};
  return make(std::move(node));
}

View View::overlay(View overlay) const {
  ViewNode node{ViewNode::Kind::overlay};
  node.children = {*this, std::move(overlay)};
  return make(std::move(node));
}

View View::opacity(double value) const {
  ViewNode node{ViewNode::Kind::opacity};
  node.children.push_back(*this);
  node.value = std::clamp(value, 0.0, 1.0);
  return make(std::move(node));
}

View View::luminanceToAlpha() const { return wrap(ViewNode::Kind::luminanceToAlpha, *this); }

View View::animation(Animation animation) const {
  ViewNode node{ViewNode::Kind::animation};
  node.children.push_back(*this);
  node.animationValue = animation;
  return make(std::move(node));
}

View View::onTapGesture(std::function<void()> action) const {
  ViewNode node{ViewNode::Kind::tapGesture};
  node.children.push_back(*this);
  node.action = std::move(action);
  return make(std::move(node));
}

View View::foregroundColor(Color color) const {
  ViewNode node{ViewNode::Kind::foreground};
  node.children.push_back(*this);
  node.color = color;
  return make(std::move(node));
}

View View::lineLimit(int lines) const {
  if (node_->kind != ViewNode::Kind::text) return *this;
  ViewNode copy = *node_;
  copy.lineLimit = lines;
  return make(std::move(copy));
}

View HStack(std::vector<View> children, std::optional<double> spacing) {
  ViewNode node{ViewNode::Kind::hstack};
  node.children = std::move(children);
  node.spacing = spacing;
  return make(std::move(node));
}

View ZStack(std::vector<View> children) {
  ViewNode node{ViewNode::Kind::zstack};
  node.children = std::move(children);
  return make(std::move(node));
}

Shape Shape::roundedRectangle(double cornerRadius, CornerStyle style) {
  Shape shape;
  shape.kind = Kind::roundedRectangle;
  shape.cornerRadius = std::max(0.0, cornerRadius);
  shape.cornerStyle = style;
  return shape;
}

Shape Shape::circle() { return Shape{}; }

View Shape::fill(Color color) const {
  ViewNode node{ViewNode::Kind::shape};
  node.shape = *this;
  node.color = color;
  return make(std::move(node));
}

View Shape::stroke(Color color, StrokeStyle style) const {
  ViewNode node{ViewNode::Kind::shape};
  node.shape = *this;
  node.stroked = true;
  node.color = color;
  node.strokeStyle = style;
  return make(std::move(node));
}

View Image(std::string name) {
  ViewNode node{ViewNode::Kind::image};
  node.string = std::move(name);
  return make(std::move(node));
}

View Text(std::string verbatim) {
  ViewNode node{ViewNode::Kind::text};
  node.string = std::move(verbatim);
  return make(std::move(node));
}

View Toggle(Binding<bool> isOn, View label, const ToggleStyle& style) {
  return style.makeBody(ToggleConfiguration{std::move(label), std::move(isOn)});
}

}  // namespace brellis::platform::app_kit
