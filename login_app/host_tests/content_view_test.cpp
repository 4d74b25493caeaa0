#include "login_app/content_view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "login_app/host_tests/host_test_support.h"
#include "login_app/peer_defaults_wrapper.h"
#include "platform/app_kit/window.h"
#include "platform/app_kit/window_server.h"
#include "platform/foundation/main_bundle.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "token_host/token_host_wrapper.h"

namespace brellis::login_app {
namespace {

using namespace platform::app_kit;
using Pixel = std::array<uint8_t, 4>;
using test::onMain;
using test::waitUntil;

const LayoutNode* find(const LayoutNode& node, ViewNode::Kind kind) {
  if (node.node->kind == kind) return &node;
  for (const auto& child : node.children) {
    if (const LayoutNode* found = find(child, kind)) return found;
  }
  return nullptr;
}

const LayoutNode* findIf(const LayoutNode& node,
                         const std::function<bool(const ViewNode&)>& matches) {
  if (matches(*node.node)) return &node;
  for (const auto& child : node.children) {
    if (const LayoutNode* found = findIf(child, matches)) return found;
  }
  return nullptr;
}

// The centre of the knob: the opaque white pixels inside the track.
double knobCentreX(const Bitmap& bitmap, const Rect& track) {
  double sum = 0, count = 0;
  for (int y = static_cast<int>(track.minY()); y < static_cast<int>(track.maxY()); ++y) {
    for (int x = static_cast<int>(track.minX()) - 10; x < static_cast<int>(track.maxX()) + 10;
         ++x) {
      Pixel p = bitmap.pixel(x, y);
      if (p[0] > 245 && p[1] > 245 && p[2] > 245 && p[3] == 255) {
        sum += x + 0.5;
        ++count;
      }
    }
  }
  return count ? sum / count : -1;
}

class ContentViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ensureMainQueue();
    platform::foundation::setMainBundleResourceDirectoryForTesting(BRELLIS_LOGIN_RESOURCES);
    (*daemon_).setUnlockStatusArchive(std::nullopt);  // the daemon never answers the status
  }
  void TearDown() override {
    onMain([&] {
      window_.reset();
      host_.reset();
      content_.reset();
    });
    if (manager_) waitUntil([&] { return manager_.use_count() == 1; });
    platform::foundation::setMainBundleResourceDirectoryForTesting(std::nullopt);
  }
  void makeWindow() {
    content_ = std::make_shared<ContentView>([this] {
      ++made_;
      manager_ = TokenManager::make(
          {std::make_shared<PeerDefaultsWrapper>(),
           group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name),
           std::make_shared<token_host::TokenHostWrapper>(token_host::DriverDomain::brellis)});
      return manager_;
    });
    onMain([&] {
      window_ = Window::make(Rect{{0, 0}, {242, 42}}, Window::kStyleMaskBorderless,
                             Window::BackingStoreType::buffered, false);
      window_->setBackgroundColor(Color::clear());
      host_ = HostingView::make(content_);
      host_->setClock(clock_);
      window_->setContentView(host_);
      window_->orderFrontRegardless();
    });
  }
  Bitmap render() {
    Bitmap bitmap;
    onMain([&] { bitmap = window_->renderContent(); });
    return bitmap;
  }
  Rect frameOf(ViewNode::Kind kind) {
    Rect frame;
    onMain([&] { frame = find(host_->layout(), kind)->frame; });
    return frame;
  }
  bool isOn() {
    bool on = false;
    onMain([&] { on = manager_->isEnabled().get(); });
    return on;
  }

  brellis::testing::TemporaryStateRoot root_;
  platform::os_log::ScopedLogCapture capture_;
  test::ScopedFakeDaemon daemon_;
  std::shared_ptr<platform::dispatch::ManualClock> clock_ =
      std::make_shared<platform::dispatch::ManualClock>();
  std::shared_ptr<ContentView> content_;
  std::shared_ptr<HostingView> host_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<TokenManager> manager_;
  int made_ = 0;
};

TEST_F(ContentViewTest, DrawsThePlateTheTrackAndTheKnobOnOffAndHalfWay) {
  makeWindow();
  Bitmap off = render();
  ASSERT_EQ(off.width(), 242);
  ASSERT_EQ(off.height(), 42);
  // The plate: grey 0.9 at 10 % turned into black whose alpha is its luminance.
  EXPECT_EQ(off.pixel(4, 21), (Pixel{0, 0, 0, 23}));
  EXPECT_EQ(off.pixel(121, 1)[3], 23);
  EXPECT_EQ(off.pixel(0, 0)[3], 0);  // outside the rounded corner

  const Rect track = frameOf(ViewNode::Kind::tapGesture);
  EXPECT_EQ(track.size, (Size{38, 23}));
  EXPECT_NEAR(track.midY(), 21, 0.01);
  // The track's ends are round (its radius is more than half its height): just inside the
  // corners of its frame only the plate shows.
  const int left = static_cast<int>(track.minX()), top = static_cast<int>(track.minY());
  const int right = static_cast<int>(track.maxX()), bottom = static_cast<int>(track.maxY());
  EXPECT_EQ(off.pixel(left + 2, top + 2), (Pixel{0, 0, 0, 23}));
  EXPECT_LT(off.pixel(left + 3, top + 3)[3], 64);
  EXPECT_LT(off.pixel(right - 3, bottom - 3)[3], 64);
  // Off: grey 0.2 on the side the knob has left, the knob 8 left of the centre.
  EXPECT_EQ(off.pixel(static_cast<int>(track.maxX()) - 6, 21), (Pixel{51, 51, 51, 255}));
  EXPECT_NEAR(knobCentreX(off, track), track.midX() - 8, 0.5);
  // The track's fine outline: standard grey, 0.4 wide, butt caps, miter joins, limit 10.
  const LayoutNode* outline = nullptr;
  onMain([&] {
    outline = findIf(host_->layout(), [](const ViewNode& node) { return node.stroked; });
    ASSERT_NE(outline, nullptr);
    EXPECT_EQ(outline->frame, track);
    const StrokeStyle& style = outline->node->strokeStyle;
    EXPECT_EQ(style.lineWidth, 0.4);
    EXPECT_EQ(style.cap, StrokeStyle::Cap::butt);
    EXPECT_EQ(style.join, StrokeStyle::Join::miter);
    EXPECT_EQ(style.miterLimit, 10);
    EXPECT_EQ(outline->node->color, Color::standardGray());
  });
  // The text is drawn in white.
  const Rect text = frameOf(ViewNode::Kind::text);
  int white = 0;
  for (int y = static_cast<int>(text.minY()); y < static_cast<int>(text.maxY()); ++y) {
    for (int x = static_cast<int>(text.minX()); x < static_cast<int>(text.maxX()); ++x) {
      Pixel p = off.pixel(x, y);
      // Glyph edges blend with the plate, but stay grey: nothing but white is drawn here.
      if (p[3] > 0) {
        EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
      }
      if (p == Pixel{255, 255, 255, 255}) ++white;
    }
  }
  EXPECT_GT(white, 20);
  if (const char* keep = std::getenv("BRELLIS_KEEP_PNG")) off.writePng(keep);

  onMain([&] { manager_->isEnabled().set(true); });
  ASSERT_TRUE(waitUntil([&] {
    bool animating = false;
    onMain([&] { animating = host_->isAnimating(); });
    return animating;
  }));
  EXPECT_NEAR(knobCentreX(render(), track), track.midX() - 8, 0.5);  // the slide begins
  // Ease-in-out over 0.14 s: half the time is half the way, the knob then on the track's centre
  // (a slide of 0.13 s or 0.15 s would be about a point off it).
  clock_->advance(std::chrono::milliseconds(70));
  const double halfWay = knobCentreX(render(), track);
  EXPECT_NEAR(halfWay, track.midX(), 0.4);
  clock_->advance(std::chrono::milliseconds(70));
  Bitmap on = render();
  EXPECT_EQ(on.pixel(static_cast<int>(track.minX()) + 6, 21), (Pixel{0, 122, 255, 255}));
  EXPECT_NEAR(knobCentreX(on, track), track.midX() + 8, 0.5);

  // What the window server holds is the same picture.
  clock_->advance(std::chrono::milliseconds(100));
  auto png = WindowServer::windowsDirectory() / (window_->identifier() + ".png");
  ASSERT_TRUE(waitUntil([&] {
    auto published = Bitmap::readPng(png);
    return published &&
           published->pixel(static_cast<int>(track.minX()) + 6, 21) == Pixel{0, 122, 255, 255};
  }));
}

TEST_F(ContentViewTest, OnlyTheTrackReactsToATap) {
  makeWindow();
  const Rect track = frameOf(ViewNode::Kind::tapGesture);
  const Rect text = frameOf(ViewNode::Kind::text);
  const Rect image = frameOf(ViewNode::Kind::image);
  bool handled = true;
  onMain([&] { handled = window_->tap({text.midX(), text.midY()}); });
  EXPECT_FALSE(handled);
  onMain([&] { handled = window_->tap({image.midX(), image.midY()}); });
  EXPECT_FALSE(handled);
  onMain([&] { handled = window_->tap({2, 2}); });  // the plate
  EXPECT_FALSE(handled);
  EXPECT_FALSE(isOn());
  onMain([&] { handled = window_->tap({track.minX() + 2, track.midY()}); });
  EXPECT_TRUE(handled);
  EXPECT_TRUE(isOn());  // flipped, though the token manager has not heard from the daemon
  onMain([&] { handled = window_->tap({track.maxX() - 2, track.midY()}); });
  EXPECT_FALSE(isOn());
  EXPECT_EQ(made_, 1);  // the state object is made once
}

TEST_F(ContentViewTest, LabelFromTheTableOrTheKeyBetweenAsterisks) {
  EXPECT_EQ(ContentView::labelText(), "Enable Velkor Unlock");
  // A bundle without the table and without the image: the default, literally, and no icon.
  const auto bare = root_.path() / "BareResources";
  std::filesystem::create_directories(bare / "en.lproj");
  platform::foundation::setMainBundleResourceDirectoryForTesting(bare);
  EXPECT_EQ(ContentView::labelText(), "**Enable Velkor Unlock**");
  // A table without the key.
  std::ofstream(bare / "en.lproj" / "Tarvo.strings")
      << "<plist version=\"1.0\"><dict><key>Other</key><string>x</string></dict></plist>";
  EXPECT_EQ(ContentView::labelText(), "**Enable Velkor Unlock**");
  makeWindow();
  std::string shown;
  Size image;
  onMain([&] {
    shown = find(host_->layout(), ViewNode::Kind::text)->shownText;
    image = find(host_->layout(), ViewNode::Kind::image)->frame.size;
  });
  EXPECT_EQ(shown, "**Enable Velkor Unlock**");
  EXPECT_EQ(image, (Size{0, 0}));
}

}  // namespace
}  // namespace brellis::login_app
