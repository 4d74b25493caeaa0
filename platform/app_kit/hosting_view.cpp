#include "platform/app_kit/hosting_view.h"

#include <asio/post.hpp>
#include <chrono>
#include <mutex>

#include "platform/app_kit/main_queue.h"
#include "platform/app_kit/renderer.h"

namespace brellis::platform::app_kit {

namespace {

constexpr auto kFrameInterval = std::chrono::microseconds(16667);

enum class Property { offset, color, opacity };

std::optional<Property> animatableProperty(const ViewNode& node) {
  switch (node.kind) {
    case ViewNode::Kind::offset:
      return Property::offset;
    case ViewNode::Kind::shape:
    case ViewNode::Kind::foreground:
      return Property::color;
    case ViewNode::Kind::opacity:
      return Property::opacity;
    default:
      return std::nullopt;
  }
}

std::vector<double> declaredValue(const ViewNode& node, Property property) {
  switch (property) {
    case Property::offset:
      return {node.offset.x, node.offset.y};
    case Property::color:
      return {node.color.red, node.color.green, node.color.blue, node.color.opacity};
    case Property::opacity:
      return {node.value};
  }
  return {};
}

}  // namespace

struct HostingView::Pending {
  std::mutex mutex;
  bool scheduled = false;
  Transaction transaction;
};

std::vector<double> HostingView::AnimatedValue::at(dispatch::Clock::TimePoint now) const {
  if (!animation || animation->duration <= 0) return to;
  const double elapsed = std::chrono::duration<double>(now - begin).count();
  // At the end exactly the target (from + (to - from) need not round back to it).
  if (elapsed >= animation->duration) return to;
  const double fraction = animation->fraction(elapsed / animation->duration);
  std::vector<double> value(to.size());
  for (size_t i = 0; i < to.size(); ++i) value[i] = from[i] + (to[i] - from[i]) * fraction;
  return value;
}

bool HostingView::AnimatedValue::runningAt(dispatch::Clock::TimePoint now) const {
  return animation && std::chrono::duration<double>(now - begin).count() < animation->duration;
}

// Reads offsets, colours and opacities from the running animations at one moment.
class HostingView::AnimatedPresentation : public Presentation {
 public:
  AnimatedPresentation(const HostingView& host, dispatch::Clock::TimePoint now)
      : host_(host), now_(now) {}
  Point offset(const LayoutNode& node) const override {
    auto v = value(node);
    return v.size() == 2 ? Point{v[0], v[1]} : node.node->offset;
  }
  Color color(const LayoutNode& node) const override {
    auto v = value(node);
    return v.size() == 4 ? Color{v[0], v[1], v[2], v[3]} : node.node->color;
  }
  double opacity(const LayoutNode& node) const override {
    auto v = value(node);
    return v.size() == 1 ? v[0] : node.node->value;
  }

 private:
  std::vector<double> value(const LayoutNode& node) const {
    auto found = host_.values_.find(node.path);
    return found == host_.values_.end() ? std::vector<double>{} : found->second.at(now_);
  }
  const HostingView& host_;
  dispatch::Clock::TimePoint now_;
};

std::shared_ptr<HostingView> HostingView::make(std::shared_ptr<RootView> rootView) {
  return std::shared_ptr<HostingView>(new HostingView(std::move(rootView)));
}

HostingView::HostingView(std::shared_ptr<RootView> rootView)
    : rootView_(std::move(rootView)),
      clock_(dispatch::Clock::system()),
      pending_(std::make_shared<Pending>()) {}

void HostingView::setNeedsUpdate(Transaction transaction) {
  {
    std::lock_guard lock(pending_->mutex);
    pending_->transaction = transaction;
    if (pending_->scheduled) return;
    pending_->scheduled = true;
  }
  std::weak_ptr<HostingView> weak = weak_from_this();
  MainQueue::async([weak, pending = pending_] {
    Transaction transaction;
    {
      std::lock_guard lock(pending->mutex);
      pending->scheduled = false;
      transaction = pending->transaction;
    }
    if (auto self = weak.lock()) self->update(transaction);
  });
}

void HostingView::update(Transaction transaction) {
  const auto now = clock_->now();
  const bool first = !tree_.has_value();
  // The new tree replaces the old only after the old layout is no longer read.
  View tree = rootView_->body(*this);
  LayoutNode layout = layoutView(tree, Rect{{0, 0}, size_});
  std::map<std::string, AnimatedValue> next;
  collect(layout, std::nullopt, !first && !transaction.disablesAnimations, now, next);
  values_ = std::move(next);
  tree_ = std::move(tree);
  layout_ = std::move(layout);
  display();
  if (isAnimating()) scheduleFrames();
}

void HostingView::collect(const LayoutNode& layout, std::optional<Animation> animation,
                          bool animate, dispatch::Clock::TimePoint now,
                          std::map<std::string, AnimatedValue>& next) {
  const ViewNode& node = *layout.node;
  if (node.kind == ViewNode::Kind::animation) animation = node.animationValue;
  if (auto property = animatableProperty(node)) {
    const std::vector<double> target = declaredValue(node, *property);
    AnimatedValue value{target, target, now, std::nullopt};
    auto previous = values_.find(layout.path);
    if (previous != values_.end()) {
      if (previous->second.to == target) {
        value = previous->second;  // unchanged: a running animation goes on
      } else if (animate && animation) {
        // Retargeted from wherever the value is shown now.
        value = AnimatedValue{previous->second.at(now), target, now, animation};
      }
    }
    next.emplace(layout.path, std::move(value));
  }
  for (const auto& child : layout.children) collect(child, animation, animate, now, next);
}

void HostingView::ensureEvaluated() {
  if (!tree_) update(Transaction{true});
}

void HostingView::setFrameSize(Size size) {
  size_ = size;
  if (tree_) layout_ = layoutView(*tree_, Rect{{0, 0}, size_});
}

const LayoutNode& HostingView::layout() {
  ensureEvaluated();
  return layout_;
}

Bitmap HostingView::render(Color background) {
  ensureEvaluated();
  return renderView(layout_, size_, background, AnimatedPresentation(*this, clock_->now()));
}

bool HostingView::tap(Point point) {
  ensureEvaluated();
  const LayoutNode* target = hitTest(layout_, point, AnimatedPresentation(*this, clock_->now()));
  if (!target || !target->node->action) return false;
  // The action may set state that re-evaluates the body; keep the node's action alive.
  auto action = target->node->action;
  action();
  return true;
}

bool HostingView::isAnimating() const {
  const auto now = clock_->now();
  for (const auto& [path, value] : values_) {
    if (value.runningAt(now)) return true;
  }
  return false;
}

void HostingView::display() {
  if (displayHandler_) displayHandler_();
}

void HostingView::scheduleFrames() {
  if (!frameTimer_) frameTimer_ = std::make_unique<asio::steady_timer>(MainQueue::executor());
  frameTimer_->expires_after(kFrameInterval);
  std::weak_ptr<HostingView> weak = weak_from_this();
  frameTimer_->async_wait([weak](const std::error_code& error) {
    if (error) return;
    auto self = weak.lock();
    if (!self) return;
    // Asked before drawing: a frame drawn while the animation still ran is always followed by
    // another, so the last frame drawn shows where the animation ends.
    const bool more = self->isAnimating();
    self->display();
    if (more) self->scheduleFrames();
  });
}

}  // namespace brellis::platform::app_kit
