#include <gtest/gtest.h>

#include <cmath>

#include "platform/app_kit/hosting_view.h"
#include "platform/app_kit/layout.h"
#include "platform/app_kit/renderer.h"
#include "platform/app_kit/tests/app_kit_test_support.h"

namespace brellis::platform::app_kit {
namespace {

using Pixel = std::array<uint8_t, 4>;

Bitmap draw(const View& view, Size size, Color background = Color::clear()) {
  LayoutNode layout = layoutView(view, Rect{{0, 0}, size});
  return renderView(layout, size, background, Presentation());
}

// The centre of the pixels that match `predicate`.
std::optional<Point> centroid(const Bitmap& bitmap, const std::function<bool(Pixel)>& predicate) {
  double x = 0, y = 0, n = 0;
  for (int j = 0; j < bitmap.height(); ++j) {
    for (int i = 0; i < bitmap.width(); ++i) {
      if (predicate(bitmap.pixel(i, j))) {
        x += i + 0.5;
        y += j + 0.5;
        ++n;
      }
    }
  }
  if (n == 0) return std::nullopt;
  return Point{x / n, y / n};
}

TEST(ViewRenderingTest, CompositingOrderOfFillOpacityAndLuminanceToAlpha) {
  const Shape rect = Shape::roundedRectangle(8, CornerStyle::continuous);
  // Grey 0.9, then 10 % opacity, then luminance to alpha: black with alpha 0.9 x 0.1.
  Bitmap plate =
      draw(rect.fill(Color::white(0.9)).opacity(0.1).luminanceToAlpha().frame(40, 20), {40, 20});
  EXPECT_EQ(plate.pixel(20, 10), (Pixel{0, 0, 0, 23}));
  EXPECT_EQ(plate.pixel(0, 0), (Pixel{0, 0, 0, 0}));  // outside the rounded corner
  // Pure black turns fully transparent; white fully opaque black.
  EXPECT_EQ(draw(rect.fill(Color::black()).luminanceToAlpha(), {10, 10}).pixel(5, 5)[3], 0);
  EXPECT_EQ(draw(rect.fill(Color::whiteColor()).luminanceToAlpha(), {10, 10}).pixel(5, 5),
            (Pixel{0, 0, 0, 255}));
}

TEST(ViewRenderingTest, StacksFramesPaddingOverlayAndOffsetPlaceTheirChildren) {
  const Color red = Color::sRGB(1, 0, 0), green = Color::sRGB(0, 1, 0);
  View stack = HStack({Shape::circle().fill(red).frame(10, 10),
                       Shape::roundedRectangle(0, CornerStyle::circular)
                           .fill(green)
                           .frame(20, 6)
                           .overlay(Shape::circle().fill(red).padding(1).offset(5, 0))},
                      4);
  LayoutNode layout = layoutView(stack, Rect{{0, 0}, {100, 40}});
  // 10 + 4 + 20 = 34 wide, centred: starts at 33.
  EXPECT_EQ(layout.frame, (Rect{{33, 15}, {34, 10}}));
  EXPECT_EQ(layout.children[0].frame, (Rect{{33, 15}, {10, 10}}));
  EXPECT_EQ(layout.children[1].frame, (Rect{{47, 17}, {20, 6}}));
  Bitmap bitmap = renderView(layout, {100, 40}, Color::clear(), Presentation());
  // The knob: 4 points across (6 - 2), centred on the bar's centre (57, 20) moved by 5.
  EXPECT_EQ(bitmap.pixel(50, 20), (Pixel{0, 255, 0, 255}));
  EXPECT_EQ(bitmap.pixel(62, 20), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(bitmap.pixel(57, 20), (Pixel{0, 255, 0, 255}));

  // A text narrower than its natural width is cut with an ellipsis; it keeps one line.
  View text = Text("Enable Velkor Unlock").frame(60, 20);
  LayoutNode cut = layoutView(text, Rect{{0, 0}, {60, 20}});
  EXPECT_NE(cut.children[0].shownText, "Enable Velkor Unlock");
  EXPECT_EQ(cut.children[0].shownText.substr(cut.children[0].shownText.size() - 3), "\u2026");
  EXPECT_LE(cut.children[0].frame.size.width, 60);
}

TEST(ViewRenderingTest, TapsReachTheFrontMostGestureUnderTheOffsetPoint) {
  int back = 0, front = 0;
  View view =
      ZStack({Shape::circle().fill(Color::black()).frame(50, 50).onTapGesture([&] { ++back; }),
              Shape::circle()
                  .fill(Color::whiteColor())
                  .frame(10, 10)
                  .onTapGesture([&] { ++front; })
                  .offset(15, 0)});
  LayoutNode layout = layoutView(view, Rect{{0, 0}, {50, 50}});
  const LayoutNode* hit = hitTest(layout, {40, 25}, Presentation());
  ASSERT_NE(hit, nullptr);
  hit->node->action();
  EXPECT_EQ(front, 1);
  hit = hitTest(layout, {25, 25}, Presentation());  // where the front circle was before its offset
  ASSERT_NE(hit, nullptr);
  hit->node->action();
  EXPECT_EQ(back, 1);
  EXPECT_EQ(hitTest(layout, {60, 25}, Presentation()), nullptr);
}

TEST(ViewRenderingTest, EaseInOutIsSymmetricAndMonotonic) {
  const Animation curve = Animation::easeInOut(0.14);
  EXPECT_DOUBLE_EQ(curve.fraction(0), 0);
  EXPECT_DOUBLE_EQ(curve.fraction(1), 1);
  EXPECT_NEAR(curve.fraction(0.5), 0.5, 1e-9);
  EXPECT_LT(curve.fraction(0.1), 0.1);  // slow start
  EXPECT_GT(curve.fraction(0.9), 0.9);  // slow end
  double previous = 0;
  for (int i = 1; i <= 100; ++i) {
    const double value = curve.fraction(i / 100.0);
    EXPECT_GE(value, previous);
    previous = value;
  }
}

// A root whose body reads one value; the test changes it and asks for an update.
class SlidingRoot : public RootView {
 public:
  double x = -8;
  View body(HostingView&) override {
    return Shape::circle()
        .fill(Color::whiteColor())
        .frame(10, 10)
        .offset(x, 0)
        .animation(Animation::easeInOut(0.14));
  }
};

TEST(ViewRenderingTest, ImplicitAnimationSlidesRetargetsAndCanBeDisabled) {
  test::ensureMainLoop();
  auto clock = std::make_shared<dispatch::ManualClock>();
  auto root = std::make_shared<SlidingRoot>();
  std::shared_ptr<HostingView> host;
  auto knobX = [&] {
    double x = 0;
    test::onMain([&] {
      auto c = centroid(host->render(Color::clear()), [](Pixel p) { return p[3] > 128; });
      x = c ? c->x : NAN;
    });
    return x;
  };
  test::onMain([&] {
    host = HostingView::make(root);
    host->setClock(clock);
    host->setFrameSize({40, 20});
  });
  EXPECT_NEAR(knobX(), 12, 0.3);  // first appearance: no animation
  test::onMain([&] {
    root->x = 8;
    host->update();
  });
  EXPECT_NEAR(knobX(), 12, 0.3);
  clock->advance(std::chrono::milliseconds(70));
  EXPECT_NEAR(knobX(), 20, 0.3);  // half-way in time is half-way in place
  // Back again from the middle: the new run starts where the knob is shown.
  test::onMain([&] {
    root->x = -8;
    host->update();
  });
  EXPECT_NEAR(knobX(), 20, 0.3);
  clock->advance(std::chrono::milliseconds(140));
  EXPECT_NEAR(knobX(), 12, 0.3);
  bool animating = true;
  test::onMain([&] { animating = host->isAnimating(); });
  EXPECT_FALSE(animating);
  test::onMain([&] {
    root->x = 8;
    host->update(Transaction{true});
  });
  EXPECT_NEAR(knobX(), 28, 0.3);
  test::onMain([&] { host.reset(); });
}

}  // namespace
}  // namespace brellis::platform::app_kit
