#include "platform/app_kit/window_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "platform/app_kit/application.h"
#include "platform/app_kit/screen.h"
#include "platform/app_kit/tests/app_kit_test_support.h"
#include "platform/app_kit/window.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/state_root.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::platform::app_kit {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
  foundation::ensureDirectory(path.parent_path());
  auto temporary = path.parent_path() / ("." + path.filename().string() + ".tmp");
  std::ofstream(temporary) << text;
  std::filesystem::rename(temporary, path);
}

class CountingDelegate : public ApplicationDelegate {
 public:
  std::atomic<int> screenChanges{0};
  void applicationDidChangeScreenParameters() override { ++screenChanges; }
};

class TapRoot : public RootView {
 public:
  std::atomic<int> taps{0};
  View body(HostingView&) override {
    return Shape::roundedRectangle(0, CornerStyle::circular)
        .fill(Color::sRGB(1, 0, 0))
        .frame(10, 10)
        .onTapGesture([this] { ++taps; });
  }
};

TEST(WindowServerTest, ScreensFileNoneOneSeveralAndMalformedLines) {
  brellis::testing::TemporaryStateRoot root;
  EXPECT_TRUE(Screen::screens().empty());  // no file
  writeFile(WindowServer::screensPath(), "");
  EXPECT_TRUE(Screen::screens().empty());
  writeFile(WindowServer::screensPath(), "0 0 1440 900\n");
  ASSERT_EQ(Screen::screens().size(), 1u);
  EXPECT_EQ(Screen::screens()[0].frame(), (Rect{{0, 0}, {1440, 900}}));
  writeFile(WindowServer::screensPath(),
            "100 -50 1920 1080\n\n0 0 nan 5\n1 2 3\n1 2 3 4 5\n0 0 -10 10\n-1440 0 1440 900\n");
  auto screens = Screen::screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[0].frame(), (Rect{{100, -50}, {1920, 1080}}));
  EXPECT_EQ(screens[1].frame(), (Rect{{-1440, 0}, {1440, 900}}));
  EXPECT_DOUBLE_EQ(screens[0].frame().maxY(), 1030);
}

TEST(WindowServerTest, WindowCentresOnTheFirstScreenAndPublishesItsRecordAndContent) {
  brellis::testing::TemporaryStateRoot root;
  writeFile(WindowServer::screensPath(), "200 100 1440 900\n0 0 800 600\n");
  std::shared_ptr<Window> window;
  test::onMain([&] {
    window = Window::make(Rect{{0, 0}, {242, 42}}, Window::kStyleMaskBorderless,
                          Window::BackingStoreType::buffered, false);
    window->setBackgroundColor(Color::clear());
    window->center();
  });
  EXPECT_EQ(window->frame().origin, (Point{200 + 599, 100 + 429}));
  // Nothing is published before the window is ordered in.
  EXPECT_FALSE(std::filesystem::exists(WindowServer::windowsDirectory()));

  writeFile(WindowServer::screensPath(), "");
  test::onMain([&] {
    window->center();  // no screen: stays
    window->orderFrontRegardless();
    window->setFrameOrigin({10, 20});
  });
  EXPECT_EQ(window->frame().origin, (Point{10, 20}));
  const auto base = WindowServer::windowsDirectory() / window->identifier();
  auto bytes = [&] {
    std::ifstream in(base.string() + ".plist", std::ios::binary);
    return foundation::Bytes((std::istreambuf_iterator<char>(in)), {});
  }();
  auto record = foundation::readPlist(bytes);
  const auto* frame = record.dict()->find("frame")->dict();
  EXPECT_EQ(frame->find("x")->real(), 10.0);
  EXPECT_EQ(frame->find("y")->real(), 20.0);
  EXPECT_EQ(frame->find("width")->real(), 242.0);
  EXPECT_EQ(record.dict()->find("backing")->int64(), 2);
  auto png = Bitmap::readPng(base.string() + ".png");
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width(), 242);
  EXPECT_EQ(png->height(), 42);
  EXPECT_EQ(png->pixel(5, 5)[3], 0);  // clear background, no content
  test::onMain([&] { window.reset(); });
  EXPECT_FALSE(std::filesystem::exists(base.string() + ".plist"));
}

TEST(WindowServerTest, ScreenChangesReachTheDelegateAndTapsReachTheirWindow) {
  brellis::testing::TemporaryStateRoot root;
  auto delegate = std::make_shared<CountingDelegate>();
  Application::shared().setDelegate(delegate);
  auto content = std::make_shared<TapRoot>();
  std::shared_ptr<Window> window;
  test::onMain([&] {
    WindowServer::shared().connect();
    window = Window::make(Rect{{0, 0}, {10, 10}}, 0, Window::BackingStoreType::buffered, false);
    window->setContentView(HostingView::make(content));
    window->orderFrontRegardless();
  });
  writeFile(WindowServer::screensPath(), "0 0 1440 900\n");
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return delegate->screenChanges >= 1; }));
  const int afterFirst = delegate->screenChanges;
  std::filesystem::remove(WindowServer::screensPath());
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return delegate->screenChanges > afterFirst; }));

  const auto events = WindowServer::eventsDirectory();
  writeFile(events / "1-a", "tap " + window->identifier() + " 5 5\n");
  writeFile(events / "1-b", "tap " + window->identifier() + " 50 5\n");  // misses the view
  writeFile(events / "1-c", "tap someone-else 5 5\n");
  writeFile(events / "1-d", "garbage\n");
  writeFile(events / "1-e", "tap " + window->identifier() + " 1 9\n");
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return content->taps == 2; }));
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return std::filesystem::is_empty(events); }));
  EXPECT_EQ(content->taps, 2);
  test::onMain([&] { window.reset(); });
  Application::shared().setDelegate(nullptr);
}

}  // namespace
}  // namespace brellis::platform::app_kit
