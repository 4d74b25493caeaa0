#pragma once

#include <string>
#include <vector>

#include "platform/app_kit/view.h"

namespace brellis::platform::app_kit {

// A view tree after layout: every node with its frame in the root's coordinates (origin top-left,
// y down), before any offset of its own or of an ancestor is applied; offsets, colours and
// opacities are applied when drawing and hit testing, so that they can be animated. `path`
// names the node by its position in the tree ("0.1.0"), which stays the same across
// evaluations of the same body.
struct LayoutNode {
  const ViewNode* node = nullptr;
  Rect frame;
  std::string path;
  std::string shownText;  // text: what fits, truncated with "…"
  std::vector<LayoutNode> children;
};

// What a node shows at the moment of drawing; by default the values the tree declares.
class Presentation {
 public:
  virtual ~Presentation() = default;
  virtual Point offset(const LayoutNode& node) const { return node.node->offset; }
  virtual Color color(const LayoutNode& node) const { return node.node->color; }
  virtual double opacity(const LayoutNode& node) const { return node.node->value; }
};

// Lays the tree out in `bounds`: the root is offered the bounds' size and centred in them. The
// view in `root` must outlive the result.
LayoutNode layoutView(const View& root, Rect bounds);

// The tap gesture that a tap at `point` reaches: the front-most one whose (offset) frame holds
// the point, or none.
const LayoutNode* hitTest(const LayoutNode& root, Point point, const Presentation& presentation);

// The default spacing between the children of a stack and the system font size.
inline constexpr double kDefaultSpacing = 8;
inline constexpr double kSystemFontSize = 13;

}  // namespace brellis::platform::app_kit
