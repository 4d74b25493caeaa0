#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "daemon_client/duration.h"
#include "platform/foundation/plist_value.h"

namespace brellis::daemon_client {

// How the daemon wants a desktop picture set up. It reaches the client inside the desktop-asset
// reply as the property-list tree of a keyed archive; the client only decodes and compares it.
//
// Keyed form: a dictionary with exactly one case key ("style", "assetID", "image",
// "imageFolder", "data") holding a dictionary with the payload under "_0". Decoding raises
// DecodingError on anything else; encoding writes the mirror image.
class WallpaperConfiguration {
 public:
  enum class DesktopPictureDynamicStyle : int64_t {
    automatic = 0,
    dynamic = 1,
    light = 2,
    dark = 3
  };

  struct BackgroundColor {
    std::vector<double> components;
    // Element-wise floating-point comparison: a NaN never compares equal, 0.0 equals -0.0.
    bool operator==(const BackgroundColor&) const = default;
  };

  struct ImageConfiguration {
    BackgroundColor backgroundColor;
    int64_t placement = 0;
    bool operator==(const ImageConfiguration&) const = default;
  };

  struct ImageFolderConfiguration {
    bool animate = false;
    Duration animateDuration;
    BackgroundColor backgroundColor;
    int64_t placement = 0;
    bool randomize = false;
    bool operator==(const ImageFolderConfiguration&) const = default;
  };

  // The cases in their declared order; the index of the payload variant.
  enum class Case { style = 0, assetID = 1, image = 2, imageFolder = 3, data = 4 };
  using Payload = std::variant<DesktopPictureDynamicStyle, std::string, ImageConfiguration,
                               ImageFolderConfiguration, platform::foundation::Bytes>;

  explicit WallpaperConfiguration(Payload payload) : payload_(std::move(payload)) {}
  // style(automatic); for containers that need a default value.
  WallpaperConfiguration() : payload_(DesktopPictureDynamicStyle::automatic) {}

  Case kind() const { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const { return payload_; }

  // Asset identifiers are equal when canonically equivalent (composed and decomposed forms of
  // the same text); every other payload compares member by member.
  bool operator==(const WallpaperConfiguration& other) const;

  platform::foundation::PlistValue encode() const;
  // Raises DecodingError.
  static WallpaperConfiguration decode(const platform::foundation::PlistValue& tree);

 private:
  Payload payload_;
};

// The case for a raw value 0 to 3; nothing for any other value.
std::optional<WallpaperConfiguration::DesktopPictureDynamicStyle> desktopPictureDynamicStyle(
    int64_t rawValue);
inline int64_t rawValue(WallpaperConfiguration::DesktopPictureDynamicStyle style) {
  return static_cast<int64_t>(style);
}

}  // namespace brellis::daemon_client
