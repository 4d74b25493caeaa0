#pragma once

#include <asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_kit/bitmap.h"
#include "platform/app_kit/layout.h"
#include "platform/dispatch/clock.h"

namespace brellis::platform::app_kit {

class HostingView;

// The root of a hosted view tree. Its body is evaluated on the main thread, once when the host
// first needs it and again after every setNeedsUpdate() of the host; the root owns its state
// (state objects) and tells the host when that state changed.
class RootView {
 public:
  virtual ~RootView() = default;
  virtual View body(HostingView& host) = 0;
};

// What carries one change of state to the screen.
struct Transaction {
  bool disablesAnimations = false;
};

// NSHostingView's place: hosts a RootView in a window, lays it out in its bounds, draws it and
// runs its implicit animations and tap gestures. Main thread only, except setNeedsUpdate().
class HostingView : public std::enable_shared_from_this<HostingView> {
 public:
  static std::shared_ptr<HostingView> make(std::shared_ptr<RootView> rootView);

  // Thread-safe: schedules a new evaluation of the body on the main queue; several requests
  // before it runs make one evaluation (the last transaction's animation choice wins).
  void setNeedsUpdate(Transaction transaction = {});
  // Evaluates the body now (main thread) and starts the animations of the values it changed.
  void update(Transaction transaction = {});

  void setFrameSize(Size size);
  Size frameSize() const { return size_; }

  // Draws the current state at the clock's current time over `background`.
  Bitmap render(Color background);
  // Delivers a tap at a point of the view (origin top-left): runs the front-most tap gesture
  // there. Returns whether one ran.
  bool tap(Point point);
  // Whether an animation is still running at the clock's current time.
  bool isAnimating() const;
  // The laid-out tree of the last evaluation (evaluates the body first if it never ran).
  const LayoutNode& layout();

  // Called on the main thread whenever what the view shows changed (after an update, and for
  // every frame of a running animation, about 60 a second, and once at its end).
  void setDisplayHandler(std::function<void()> handler) { displayHandler_ = std::move(handler); }
  // The clock of the animations (the system clock by default).
  void setClock(std::shared_ptr<dispatch::Clock> clock) { clock_ = std::move(clock); }

 private:
  struct AnimatedValue {
    std::vector<double> from;
    std::vector<double> to;
    dispatch::Clock::TimePoint begin;
    std::optional<Animation> animation;
    std::vector<double> at(dispatch::Clock::TimePoint now) const;
    bool runningAt(dispatch::Clock::TimePoint now) const;
  };
  class AnimatedPresentation;

  explicit HostingView(std::shared_ptr<RootView> rootView);
  void ensureEvaluated();
  void collect(const LayoutNode& layout, std::optional<Animation> animation, bool animate,
               dispatch::Clock::TimePoint now, std::map<std::string, AnimatedValue>& next);
  void scheduleFrames();
  void display();

  std::shared_ptr<RootView> rootView_;
  std::shared_ptr<dispatch::Clock> clock_;
  std::optional<View> tree_;
  LayoutNode layout_;
  Size size_;
  std::map<std::string, AnimatedValue> values_;
  std::function<void()> displayHandler_;
  std::unique_ptr<asio::steady_timer> frameTimer_;

  struct Pending;
  std::shared_ptr<Pending> pending_;
};

}  // namespace brellis::platform::app_kit
