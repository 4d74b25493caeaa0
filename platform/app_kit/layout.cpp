#include "platform/app_kit/layout.h"

#include <algorithm>
#include <numeric>
#include <optional>

#include "platform/app_kit/renderer.h"
#include "platform/foundation/utf_text.h"

namespace brellis::platform::app_kit {

namespace {

constexpr double kShapeIdealLength = 10;
constexpr double kUnbounded = 1e7;
constexpr const char* kEllipsis = "\u2026";

// A size offered to a view; an absent dimension asks for the view's ideal size.
struct Proposal {
  std::optional<double> width;
  std::optional<double> height;
};

std::optional<double> shrink(std::optional<double> length, double by) {
  if (!length) return std::nullopt;
  return std::max(0.0, *length - by);
}

Size sizeThatFits(const ViewNode& node, Proposal proposal);

double spacingOf(const ViewNode& node) { return node.spacing.value_or(kDefaultSpacing); }

// The widths a stack gives its children: the least flexible child is offered its share first,
// and what it does not take goes to the others.
std::vector<Size> stackChildSizes(const ViewNode& node, Proposal proposal) {
  const size_t count = node.children.size();
  std::vector<Size> sizes(count);
  if (count == 0) return sizes;
  if (!proposal.width) {
    for (size_t i = 0; i < count; ++i) {
      sizes[i] = sizeThatFits(node.children[i].node(), {std::nullopt, proposal.height});
    }
    return sizes;
  }
  std::vector<double> flexibility(count);
  for (size_t i = 0; i < count; ++i) {
    const ViewNode& child = node.children[i].node();
    flexibility[i] = sizeThatFits(child, {kUnbounded, proposal.height}).width -
                     sizeThatFits(child, {0.0, proposal.height}).width;
  }
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return flexibility[a] < flexibility[b]; });
  double remaining = *proposal.width - spacingOf(node) * static_cast<double>(count - 1);
  size_t left = count;
  for (size_t i : order) {
    const double offer = std::max(0.0, remaining / static_cast<double>(left));
    sizes[i] = sizeThatFits(node.children[i].node(), {offer, proposal.height});
    remaining -= sizes[i].width;
    --left;
  }
  return sizes;
}

// The longest prefix of `text` (whole UTF-8 sequences) that fits `width` with an ellipsis.
std::string truncated(const std::string& text, double width) {
  if (measureText(text).width <= width) return text;
  std::string prefix = text;
  while (!prefix.empty()) {
    // Drop the last code point.
    prefix.resize(platform::foundation::utf8BoundaryAtOrBefore(prefix, prefix.size() - 1));
    if (measureText(prefix + kEllipsis).width <= width) return prefix + kEllipsis;
  }
  return measureText(kEllipsis).width <= width ? kEllipsis : "";
}

Size sizeThatFits(const ViewNode& node, Proposal proposal) {
  switch (node.kind) {
    case ViewNode::Kind::shape:
      return {proposal.width.value_or(kShapeIdealLength),
              proposal.height.value_or(kShapeIdealLength)};
    case ViewNode::Kind::image:
      return imageAssetSize(node.string).value_or(Size{});
    case ViewNode::Kind::text: {
      const TextMetrics metrics = measureText(node.string);
      double width = metrics.width;
      if (proposal.width && *proposal.width < width) {
        width = measureText(truncated(node.string, *proposal.width)).width;
      }
      return {width, metrics.ascent + metrics.descent};
    }
    case ViewNode::Kind::frame:
      return node.size;
    case ViewNode::Kind::padding: {
      const EdgeInsets& e = node.insets;
      Size child =
          sizeThatFits(node.children[0].node(), {shrink(proposal.width, e.leading + e.trailing),
                                                 shrink(proposal.height, e.top + e.bottom)});
      return {child.width + e.leading + e.trailing, child.height + e.top + e.bottom};
    }
    case ViewNode::Kind::hstack: {
      Size size;
      for (const Size& child : stackChildSizes(node, proposal)) {
        size.width += child.width;
        size.height = std::max(size.height, child.height);
      }
      if (!node.children.empty()) {
        size.width += spacingOf(node) * static_cast<double>(node.children.size() - 1);
      }
      return size;
    }
    case ViewNode::Kind::zstack: {
      Size size;
      for (const View& child : node.children) {
        Size s = sizeThatFits(child.node(), proposal);
        size.width = std::max(size.width, s.width);
        size.height = std::max(size.height, s.height);
      }
      return size;
    }
    default:  // overlay (the base decides), offset, opacity and the other wrappers
      return node.children.empty() ? Size{} : sizeThatFits(node.children[0].node(), proposal);
  }
}

Rect centred(Size size, const Rect& in) {
  return {{in.midX() - size.width / 2, in.midY() - size.height / 2}, size};
}

LayoutNode place(const ViewNode& node, const Rect& frame, const std::string& path) {
  LayoutNode layout{&node, frame, path, {}, {}};
  auto child = [&](size_t index, const Rect& childFrame) {
    layout.children.push_back(
        place(node.children[index].node(), childFrame, path + "." + std::to_string(index)));
  };
  const Proposal offered{frame.size.width, frame.size.height};
  switch (node.kind) {
    case ViewNode::Kind::text:
      layout.shownText = truncated(node.string, frame.size.width + 0.001);
      break;
    case ViewNode::Kind::hstack: {
      auto sizes = stackChildSizes(node, offered);
      double total = 0;
      for (const Size& s : sizes) total += s.width;
      total += sizes.empty() ? 0 : spacingOf(node) * static_cast<double>(sizes.size() - 1);
      double x = frame.midX() - total / 2;
      for (size_t i = 0; i < sizes.size(); ++i) {
        child(i, {{x, frame.midY() - sizes[i].height / 2}, sizes[i]});
        x += sizes[i].width + spacingOf(node);
      }
      break;
    }
    case ViewNode::Kind::zstack:
    case ViewNode::Kind::frame:
      for (size_t i = 0; i < node.children.size(); ++i) {
        child(i, centred(sizeThatFits(node.children[i].node(), offered), frame));
      }
      break;
    case ViewNode::Kind::padding: {
      const EdgeInsets& e = node.insets;
      const Rect inner{{frame.minX() + e.leading, frame.minY() + e.top},
                       {std::max(0.0, frame.size.width - e.leading - e.trailing),
                        std::max(0.0, frame.size.height - e.top - e.bottom)}};
      child(0, centred(sizeThatFits(node.children[0].node(), {inner.size.width, inner.size.height}),
                       inner));
      break;
    }
    case ViewNode::Kind::overlay:
      child(0, frame);
      child(1, centred(sizeThatFits(node.children[1].node(), offered), frame));
      break;
    default:
      for (size_t i = 0; i < node.children.size(); ++i) child(i, frame);
      break;
  }
  return layout;
}

const LayoutNode* hitTestAt(const LayoutNode& layout, Point point,
                            const Presentation& presentation) {
  if (layout.node->kind == ViewNode::Kind::offset) {
    const Point offset = presentation.offset(layout);
    point = {point.x - offset.x, point.y - offset.y};
  }
  // Front-most first: later children are drawn over earlier ones.
  for (auto it = layout.children.rbegin(); it != layout.children.rend(); ++it) {
    if (const LayoutNode* hit = hitTestAt(*it, point, presentation)) return hit;
  }
  if (layout.node->kind == ViewNode::Kind::tapGesture && layout.frame.contains(point)) {
    return &layout;
  }
  return nullptr;
}

}  // namespace

LayoutNode layoutView(const View& root, Rect bounds) {
  Size size = sizeThatFits(root.node(), {bounds.size.width, bounds.size.height});
  return place(root.node(), centred(size, bounds), "0");
}

const LayoutNode* hitTest(const LayoutNode& root, Point point, const Presentation& presentation) {
  return hitTestAt(root, point, presentation);
}

}  // namespace brellis::platform::app_kit
