#include "platform/app_kit/window.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <system_error>

#include "platform/app_kit/renderer.h"
#include "platform/app_kit/screen.h"
#include "platform/app_kit/window_server.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/state_root.h"

namespace brellis::platform::app_kit {

namespace {

std::string nextIdentifier() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

std::shared_ptr<Window> Window::make(Rect contentRect, uint64_t styleMask, BackingStoreType backing,
                                     bool /*defer*/) {
  return std::shared_ptr<Window>(new Window(contentRect, styleMask, backing));
}

Window::Window(Rect contentRect, uint64_t styleMask, BackingStoreType backing)
    : identifier_(nextIdentifier()),
      frame_(contentRect),
      styleMask_(styleMask),
      backing_(backing) {}

Window::~Window() {
  if (!visible_) return;
  WindowServer::shared().removeWindow(identifier_);
  std::error_code error;
  std::filesystem::remove(WindowServer::windowsDirectory() / (identifier_ + ".plist"), error);
  std::filesystem::remove(WindowServer::windowsDirectory() / (identifier_ + ".png"), error);
}

void Window::setSharingType(SharingType type) {
  sharingType_ = type;
  publish();
}

void Window::setCanBecomeVisibleWithoutLogin(bool value) {
  canBecomeVisibleWithoutLogin_ = value;
  publish();
}

void Window::setBackgroundColor(Color color) {
  backgroundColor_ = color;
  publish();
}

void Window::setContentView(std::shared_ptr<HostingView> view) {
  contentView_ = std::move(view);
  if (contentView_) {
    contentView_->setFrameSize(frame_.size);
    std::weak_ptr<Window> weak = weak_from_this();
    contentView_->setDisplayHandler([weak] {
      if (auto self = weak.lock()) self->publish();
    });
  }
  publish();
}

void Window::orderFrontRegardless() {
  if (!visible_) {
    visible_ = true;
    WindowServer::shared().addWindow(shared_from_this());
  }
  publish();
}

void Window::center() {
  auto screens = Screen::screens();
  if (screens.empty()) return;
  const Rect screen = screens.front().visibleFrame();
  frame_.origin = {screen.minX() + (screen.size.width - frame_.size.width) / 2,
                   screen.minY() + (screen.size.height - frame_.size.height) / 2};
  publish();
}

void Window::setFrameOrigin(Point origin) {
  frame_.origin = origin;
  publish();
}

Bitmap Window::renderContent() const {
  if (!contentView_) {
    const View empty = ZStack({});
    return renderView(layoutView(empty, Rect{{0, 0}, frame_.size}), frame_.size, backgroundColor_,
                      Presentation());
  }
  return contentView_->render(backgroundColor_);
}

bool Window::tap(Point point) { return contentView_ && contentView_->tap(point); }

void Window::publish() const {
  if (!visible_) return;
  const auto folder = WindowServer::windowsDirectory();
  if (!foundation::ensureDirectory(folder)) return;
  using foundation::PlistDict;
  using foundation::PlistValue;
  PlistDict frame;
  frame.set("x", PlistValue(frame_.origin.x));
  frame.set("y", PlistValue(frame_.origin.y));
  frame.set("width", PlistValue(frame_.size.width));
  frame.set("height", PlistValue(frame_.size.height));
  PlistDict color;
  color.set("r", PlistValue(backgroundColor_.red));
  color.set("g", PlistValue(backgroundColor_.green));
  color.set("b", PlistValue(backgroundColor_.blue));
  color.set("a", PlistValue(backgroundColor_.opacity));
  PlistDict record;
  record.set("identifier", PlistValue(identifier_));
  record.set("frame", PlistValue(std::move(frame)));
  record.set("styleMask", PlistValue(static_cast<int64_t>(styleMask_)));
  record.set("backing", PlistValue(static_cast<int64_t>(backing_)));
  record.set("sharingType", PlistValue(static_cast<int64_t>(sharingType_)));
  record.set("canBecomeVisibleWithoutLogin", PlistValue(canBecomeVisibleWithoutLogin_));
  record.set("level", PlistValue(level()));
  record.set("backgroundColor", PlistValue(std::move(color)));

  renderContent().writePng(folder / (identifier_ + ".png"));
  const auto bytes = foundation::writeBinaryPlist(PlistValue(std::move(record)));
  const auto path = folder / (identifier_ + ".plist");
  auto temporary = path;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) return;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
}

}  // namespace brellis::platform::app_kit
