#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace brellis::platform::app_kit {

// A drawn image: width x height pixels, 8-bit sRGB with straight alpha, rows top to bottom.
class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(int width, int height) : width_(width), height_(height), pixels_(width * height * 4) {}

  int width() const { return width_; }
  int height() const { return height_; }
  // {red, green, blue, alpha}; out-of-range points read as transparent.
  std::array<uint8_t, 4> pixel(int x, int y) const;
  void setPixel(int x, int y, std::array<uint8_t, 4> rgba);

  // Writes a PNG, replacing `path` atomically (a temporary file renamed over it).
  bool writePng(const std::filesystem::path& path) const;
  static std::optional<Bitmap> readPng(const std::filesystem::path& path);

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> pixels_;
};

}  // namespace brellis::platform::app_kit
