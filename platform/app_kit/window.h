#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/app_kit/bitmap.h"
#include "platform/app_kit/color.h"
#include "platform/app_kit/geometry.h"
#include "platform/app_kit/hosting_view.h"

namespace brellis::platform::app_kit {

// NSWindow's place. A window has no decorations of its own: its frame is its content rectangle,
// in global coordinates (origin bottom-left, y up). While it is ordered in, the window server
// folder holds its record and its drawn content (see WindowServer), rewritten whenever either
// changes. Main thread only.
class Window : public std::enable_shared_from_this<Window> {
 public:
  static constexpr uint64_t kStyleMaskBorderless = 0;
  enum class BackingStoreType : int64_t { retained = 0, nonretained = 1, buffered = 2 };
  enum class SharingType : int64_t { none = 0, readOnly = 1, readWrite = 2 };

  static std::shared_ptr<Window> make(Rect contentRect, uint64_t styleMask,
                                      BackingStoreType backing, bool defer);
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Unique among the windows of all processes on the window server: "<pid>-<number>".
  const std::string& identifier() const { return identifier_; }
  uint64_t styleMask() const { return styleMask_; }
  BackingStoreType backingType() const { return backing_; }
  Rect frame() const { return frame_; }
  int64_t level() const { return 0; }

  void setSharingType(SharingType type);
  SharingType sharingType() const { return sharingType_; }
  void setCanBecomeVisibleWithoutLogin(bool value);
  bool canBecomeVisibleWithoutLogin() const { return canBecomeVisibleWithoutLogin_; }
  void setBackgroundColor(Color color);
  Color backgroundColor() const { return backgroundColor_; }

  // The content view fills the content rectangle; the window keeps it for its life.
  void setContentView(std::shared_ptr<HostingView> view);
  const std::shared_ptr<HostingView>& contentView() const { return contentView_; }

  // Orders the window in front of all others, also when the application is not active.
  void orderFrontRegardless();
  bool isVisible() const { return visible_; }

  // Centres the window on the first screen: horizontally in the middle, vertically in the
  // middle. Without a screen the window stays where it is.
  void center();
  void setFrameOrigin(Point origin);

  // The content drawn over the background colour, one pixel per point.
  Bitmap renderContent() const;
  // Delivers a tap at a point of the content (origin top-left, y down).
  bool tap(Point point);

 private:
  Window(Rect contentRect, uint64_t styleMask, BackingStoreType backing);
  void publish() const;

  std::string identifier_;
  Rect frame_;
  uint64_t styleMask_;
  BackingStoreType backing_;
  SharingType sharingType_ = SharingType::readOnly;
  bool canBecomeVisibleWithoutLogin_ = false;
  Color backgroundColor_ = Color::white(0.93);
  std::shared_ptr<HostingView> contentView_;
  bool visible_ = false;
};

}  // namespace brellis::platform::app_kit
