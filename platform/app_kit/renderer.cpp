#include "platform/app_kit/renderer.h"

#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <system_error>

#include "platform/foundation/main_bundle.h"

namespace brellis::platform::app_kit {

namespace {

constexpr const char* kSystemFontFamily = "sans-serif";
constexpr const char* kAssetFolder = "Assets";
constexpr double kContinuousCornerExtent = 1.28;  // of the radius, along each edge
constexpr double kContinuousCornerExponent = 4;   // of the superellipse that draws the corner
constexpr int kCornerSegments = 16;

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

Surface makeSurface(int width, int height) {
  return Surface(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(width, 1), std::max(height, 1)),
      cairo_surface_destroy);
}

void setSystemFont(cairo_t* cr) {
  cairo_select_font_face(cr, kSystemFontFamily, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kSystemFontSize);
}

void setColor(cairo_t* cr, const Color& color) {
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.opacity);
}

void roundedRectanglePath(cairo_t* cr, const Rect& r, double radius, CornerStyle style) {
  const double w = r.size.width, h = r.size.height;
  cairo_new_path(cr);
  if (w <= 0 || h <= 0) return;
  const double half = std::min(w, h) / 2;
  // A radius of half the short side or more makes round ends (a capsule), whatever the style.
  if (style == CornerStyle::circular || radius >= half) {
    const double rr = std::min(radius, half);
    cairo_arc(cr, r.maxX() - rr, r.minY() + rr, rr, -std::numbers::pi / 2, 0);
    cairo_arc(cr, r.maxX() - rr, r.maxY() - rr, rr, 0, std::numbers::pi / 2);
    cairo_arc(cr, r.minX() + rr, r.maxY() - rr, rr, std::numbers::pi / 2, std::numbers::pi);
    cairo_arc(cr, r.minX() + rr, r.minY() + rr, rr, std::numbers::pi, 3 * std::numbers::pi / 2);
    cairo_close_path(cr);
    return;
  }
  // Continuous corners: each corner is a quarter of a superellipse spanning `extent` along both
  // edges, so the curvature grows from zero at the edges instead of jumping as a circular arc's.
  const double extent = std::min(radius * kContinuousCornerExtent, half);
  const double exponent = 2 / kContinuousCornerExponent;
  // Clockwise on screen (y down): top-right, bottom-right, bottom-left, top-left, each a quarter
  // of the superellipse around a centre `extent` inside the corner.
  const Point centres[] = {{r.maxX() - extent, r.minY() + extent},
                           {r.maxX() - extent, r.maxY() - extent},
                           {r.minX() + extent, r.maxY() - extent},
                           {r.minX() + extent, r.minY() + extent}};
  auto signedPower = [exponent](double v) {
    return std::copysign(std::pow(std::abs(v), exponent), v);
  };
  for (int c = 0; c < 4; ++c) {
    const double first = -std::numbers::pi / 2 + c * std::numbers::pi / 2;
    for (int i = 0; i <= kCornerSegments; ++i) {
      const double t = first + (std::numbers::pi / 2) * i / kCornerSegments;
      cairo_line_to(cr, centres[c].x + extent * signedPower(std::cos(t)),
                    centres[c].y + extent * signedPower(std::sin(t)));
    }
  }
  cairo_close_path(cr);
}

void shapePath(cairo_t* cr, const ViewNode& node, const Rect& frame) {
  if (node.shape.kind == Shape::Kind::circle) {
    cairo_new_path(cr);
    const double radius = std::min(frame.size.width, frame.size.height) / 2;
    if (radius > 0) cairo_arc(cr, frame.midX(), frame.midY(), radius, 0, 2 * std::numbers::pi);
    return;
  }
  roundedRectanglePath(cr, frame, node.shape.cornerRadius, node.shape.cornerStyle);
}

// Replaces every pixel (premultiplied ARGB) by black with alpha = luminance of its colour.
void luminanceToAlpha(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      const double red = (p >> 16) & 0xFF, green = (p >> 8) & 0xFF, blue = p & 0xFF;
      const double luminance = 0.2125 * red + 0.7154 * green + 0.0721 * blue;
      const auto alpha = static_cast<uint32_t>(std::clamp(std::lround(luminance), 0L, 255L));
      row[x] = alpha << 24;
    }
  }
  cairo_surface_mark_dirty(surface);
}

class Drawer {
 public:
  Drawer(cairo_t* cr, Size size, const Presentation& presentation)
      : cr_(cr), size_(size), presentation_(presentation) {}

  void draw(const LayoutNode& layout, const Color& foreground) {
    const ViewNode& node = *layout.node;
    switch (node.kind) {
      case ViewNode::Kind::offset: {
        const Point offset = presentation_.offset(layout);
        cairo_save(cr_);
        cairo_translate(cr_, offset.x, offset.y);
        drawChildren(layout, foreground);
        cairo_restore(cr_);
        return;
      }
      case ViewNode::Kind::opacity:
        cairo_push_group(cr_);
        drawChildren(layout, foreground);
        cairo_pop_group_to_source(cr_);
        cairo_paint_with_alpha(cr_, std::clamp(presentation_.opacity(layout), 0.0, 1.0));
        return;
      case ViewNode::Kind::luminanceToAlpha: {
        // Drawn apart at the device's size, with the current transformation, then converted.
        Surface surface = makeSurface(static_cast<int>(std::ceil(size_.width)),
                                      static_cast<int>(std::ceil(size_.height)));
        Context inner(cairo_create(surface.get()), cairo_destroy);
        cairo_matrix_t matrix;
        cairo_get_matrix(cr_, &matrix);
        cairo_set_matrix(inner.get(), &matrix);
        Drawer(inner.get(), size_, presentation_).drawChildren(layout, foreground);
        inner.reset();
        luminanceToAlpha(surface.get());
        cairo_save(cr_);
        cairo_identity_matrix(cr_);
        cairo_set_source_surface(cr_, surface.get(), 0, 0);
        cairo_paint(cr_);
        cairo_restore(cr_);
        return;
      }
      case ViewNode::Kind::foreground:
        drawChildren(layout, presentation_.color(layout));
        return;
      case ViewNode::Kind::shape:
        shapePath(cr_, node, layout.frame);
        setColor(cr_, presentation_.color(layout));
        if (node.stroked) {
          cairo_set_line_width(cr_, node.strokeStyle.lineWidth);
          cairo_set_line_cap(cr_, static_cast<cairo_line_cap_t>(node.strokeStyle.cap));
          cairo_set_line_join(cr_, static_cast<cairo_line_join_t>(node.strokeStyle.join));
          cairo_set_miter_limit(cr_, node.strokeStyle.miterLimit);
          cairo_set_dash(cr_, nullptr, 0, 0);
          cairo_stroke(cr_);
        } else {
          cairo_set_fill_rule(cr_, CAIRO_FILL_RULE_WINDING);
          cairo_fill(cr_);
        }
        return;
      case ViewNode::Kind::image:
        drawImage(node.string, layout.frame);
        return;
      case ViewNode::Kind::text: {
        if (layout.shownText.empty()) return;
        setSystemFont(cr_);
        cairo_font_extents_t extents;
        cairo_font_extents(cr_, &extents);
        const double lineHeight = extents.ascent + extents.descent;
        const double baseline =
            layout.frame.minY() + (layout.frame.size.height - lineHeight) / 2 + extents.ascent;
        setColor(cr_, foreground);
        cairo_move_to(cr_, layout.frame.minX(), baseline);
        cairo_show_text(cr_, layout.shownText.c_str());
        cairo_new_path(cr_);
        return;
      }
      default:
        drawChildren(layout, foreground);
        return;
    }
  }

 private:
  void drawChildren(const LayoutNode& layout, const Color& foreground) {
    for (const auto& child : layout.children) draw(child, foreground);
  }

  void drawImage(const std::string& name, const Rect& frame) {
    auto path = imageAssetPath(name);
    if (!path) return;
    Surface image(cairo_image_surface_create_from_png(path->c_str()), cairo_surface_destroy);
    if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return;
    cairo_save(cr_);
    cairo_set_source_surface(cr_, image.get(), frame.minX(), frame.minY());
    cairo_paint(cr_);
    cairo_restore(cr_);
  }

  cairo_t* cr_;
  Size size_;
  const Presentation& presentation_;
};

uint8_t unpremultiply(uint32_t component, uint32_t alpha) {
  if (alpha == 0) return 0;
  return static_cast<uint8_t>(std::min<uint32_t>(255, (component * 255 + alpha / 2) / alpha));
}

}  // namespace

Bitmap renderView(const LayoutNode& root, Size size, Color background,
                  const Presentation& presentation) {
  const int width = static_cast<int>(std::ceil(size.width));
  const int height = static_cast<int>(std::ceil(size.height));
  Surface surface = makeSurface(width, height);
  {
    Context cr(cairo_create(surface.get()), cairo_destroy);
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    setColor(cr.get(), background);
    cairo_paint(cr.get());
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_OVER);
    Drawer(cr.get(), size, presentation).draw(root, Color::black());
  }
  cairo_surface_flush(surface.get());
  Bitmap bitmap(std::max(width, 0), std::max(height, 0));
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < bitmap.height(); ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
    for (int x = 0; x < bitmap.width(); ++x) {
      const uint32_t p = row[x];
      const uint32_t alpha = p >> 24;
      bitmap.setPixel(
          x, y,
          {unpremultiply((p >> 16) & 0xFF, alpha), unpremultiply((p >> 8) & 0xFF, alpha),
           unpremultiply(p & 0xFF, alpha), static_cast<uint8_t>(alpha)});
    }
  }
  return bitmap;
}

TextMetrics measureText(const std::string& text) {
  Surface surface = makeSurface(1, 1);
  Context cr(cairo_create(surface.get()), cairo_destroy);
  setSystemFont(cr.get());
  cairo_font_extents_t font;
  cairo_font_extents(cr.get(), &font);
  cairo_text_extents_t extents;
  cairo_text_extents(cr.get(), text.c_str(), &extents);
  return {extents.x_advance, font.ascent, font.descent};
}

std::optional<std::filesystem::path> imageAssetPath(const std::string& name) {
  auto resources = foundation::mainBundleResourceDirectory();
  if (!resources || name.empty() || name.find('/') != std::string::npos || name[0] == '.') {
    return std::nullopt;
  }
  auto path = *resources / kAssetFolder / (name + ".png");
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  return path;
}

std::optional<Size> imageAssetSize(const std::string& name) {
  auto path = imageAssetPath(name);
  if (!path) return std::nullopt;
  Surface image(cairo_image_surface_create_from_png(path->c_str()), cairo_surface_destroy);
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  return Size{static_cast<double>(cairo_image_surface_get_width(image.get())),
              static_cast<double>(cairo_image_surface_get_height(image.get()))};
}

// Bitmap

std::array<uint8_t, 4> Bitmap::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {0, 0, 0, 0};
  const size_t i = (static_cast<size_t>(y) * width_ + x) * 4;
  return {pixels_[i], pixels_[i + 1], pixels_[i + 2], pixels_[i + 3]};
}

void Bitmap::setPixel(int x, int y, std::array<uint8_t, 4> rgba) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  const size_t i = (static_cast<size_t>(y) * width_ + x) * 4;
  std::copy(rgba.begin(), rgba.end(), pixels_.begin() + static_cast<std::ptrdiff_t>(i));
}

bool Bitmap::writePng(const std::filesystem::path& path) const {
  Surface surface = makeSurface(width_, height_);
  cairo_surface_flush(surface.get());
  unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < height_; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < width_; ++x) {
      auto [r, g, b, a] = pixel(x, y);
      auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
      row[x] = (uint32_t{a} << 24) | (pre(r) << 16) | (pre(g) << 8) | pre(b);
    }
  }
  cairo_surface_mark_dirty(surface.get());
  auto temporary = path;
  temporary += ".tmp" + std::to_string(::getpid());
  if (cairo_surface_write_to_png(surface.get(), temporary.c_str()) != CAIRO_STATUS_SUCCESS) {
    return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) std::filesystem::remove(temporary, error);
  return !error;
}

std::optional<Bitmap> Bitmap::readPng(const std::filesystem::path& path) {
  Surface surface(cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cairo_surface_flush(surface.get());
  const int width = cairo_image_surface_get_width(surface.get());
  const int height = cairo_image_surface_get_height(surface.get());
  if (cairo_image_surface_get_format(surface.get()) != CAIRO_FORMAT_ARGB32 &&
      cairo_image_surface_get_format(surface.get()) != CAIRO_FORMAT_RGB24) {
    return std::nullopt;
  }
  const bool opaque = cairo_image_surface_get_format(surface.get()) == CAIRO_FORMAT_RGB24;
  Bitmap bitmap(width, height);
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = row[x];
      const uint32_t alpha = opaque ? 255 : p >> 24;
      bitmap.setPixel(
          x, y,
          {unpremultiply((p >> 16) & 0xFF, alpha), unpremultiply((p >> 8) & 0xFF, alpha),
           unpremultiply(p & 0xFF, alpha), static_cast<uint8_t>(alpha)});
    }
  }
  return bitmap;
}

}  // namespace brellis::platform::app_kit

#if defined(__SANITIZE_ADDRESS__)
// fontconfig, which Cairo asks for the system font, keeps a few patterns it never frees; they are
// not ours to release, so leak checking leaves them out.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
