#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/app_kit/bitmap.h"
#include "platform/app_kit/layout.h"

namespace brellis::platform::app_kit {

// Draws a laid-out tree with Cairo into a bitmap of `size` points, one pixel per point, over
// `background`. Fills and strokes are antialiased, fills use the non-zero rule. A
// luminance-to-alpha node turns what its subtree drew into black whose alpha is the luminance
// (0.2125 R + 0.7154 G + 0.0721 B) of the drawn colour weighted by its coverage.
Bitmap renderView(const LayoutNode& root, Size size, Color background,
                  const Presentation& presentation);

// The system font (from fontconfig): a text's advance width and the font's line metrics.
struct TextMetrics {
  double width = 0;
  double ascent = 0;
  double descent = 0;
};
TextMetrics measureText(const std::string& text);

// An image asset of the main bundle: "<resources>/Assets/<name>.png" and its size in points.
std::optional<std::filesystem::path> imageAssetPath(const std::string& name);
std::optional<Size> imageAssetSize(const std::string& name);

}  // namespace brellis::platform::app_kit
