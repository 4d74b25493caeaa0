#include "daemon_client/wallpaper_configuration.h"

#include <array>
#include <string_view>
#include <utility>

#include "platform/foundation/canonical_equivalence.h"
#include "platform/foundation/decoding_error.h"

namespace brellis::daemon_client {

namespace {

namespace fnd = platform::foundation;
using fnd::DecodingError;
using Kind = DecodingError::Kind;
using Path = std::vector<std::string>;

constexpr std::array<const char*, 5> kCaseKeys = {"style", "assetID", "image", "imageFolder",
                                                  "data"};
constexpr const char* kPayloadKey = "_0";
constexpr const char* kBackgroundColorKey = "backgroundColor";
constexpr const char* kPlacementKey = "placement";
constexpr const char* kAnimateKey = "animate";
constexpr const char* kAnimateDurationKey = "animateDuration";
constexpr const char* kRandomizeKey = "randomize";
constexpr const char* kComponentsKey = "components";
constexpr const char* kInvalidNumberOfKeys = "Invalid number of keys found, expected one.";

[[noreturn]] void mismatch(const Path& path, std::string_view expected, const fnd::PlistValue& v) {
  throw DecodingError(Kind::typeMismatch, path,
                      "Expected to decode " + std::string(expected) + " but found " +
                          fnd::kindName(v) + " instead.");
}

Path appended(const Path& path, std::string key) {
  Path next = path;
  next.push_back(std::move(key));
  return next;
}

const fnd::PlistDict& keyedContainer(const fnd::PlistValue& value, const Path& path) {
  const auto* dict = value.dict();
  if (dict == nullptr) mismatch(path, "Dictionary<String, Any>", value);
  return *dict;
}

const fnd::PlistValue& required(const fnd::PlistDict& dict, const char* key, const Path& path) {
  const auto* value = dict.find(key);
  if (value == nullptr) {
    throw DecodingError(Kind::keyNotFound, path,
                        std::string("No value associated with key \"") + key + "\".");
  }
  return *value;
}

int64_t decodeInt64(const fnd::PlistValue& value, const Path& path) {
  if (!value.isInteger()) mismatch(path, "Int64", value);
  auto v = value.int64();
  if (!v) {
    throw DecodingError(Kind::dataCorrupted, path,
                        "Parsed property list number does not fit in Int64.");
  }
  return *v;
}

uint64_t decodeUInt64(const fnd::PlistValue& value, const Path& path) {
  if (!value.isInteger()) mismatch(path, "UInt64", value);
  auto v = value.uint64();
  if (!v) {
    throw DecodingError(Kind::dataCorrupted, path,
                        "Parsed property list number does not fit in UInt64.");
  }
  return *v;
}

bool decodeBool(const fnd::PlistValue& value, const Path& path) {
  auto v = value.boolean();
  if (!v) mismatch(path, "Bool", value);
  return *v;
}

double decodeDouble(const fnd::PlistValue& value, const Path& path) {
  if (auto real = value.real()) return *real;
  if (auto i = value.int64()) return static_cast<double>(*i);
  if (auto u = value.uint64()) return static_cast<double>(*u);
  mismatch(path, "Double", value);
}

Duration decodeDuration(const fnd::PlistValue& value, const Path& path) {
  const auto* list = value.array();
  if (list == nullptr) mismatch(path, "Array<Any>", value);
  if (list->size() < 2) {
    throw DecodingError(Kind::valueNotFound,
                        appended(path, "Index " + std::to_string(list->size())),
                        "Unkeyed container is at end.");
  }
  int64_t high = decodeInt64((*list)[0], appended(path, "Index 0"));
  uint64_t low = decodeUInt64((*list)[1], appended(path, "Index 1"));
  return Duration::fromComponents(high, low);
}

fnd::PlistValue encodeDuration(const Duration& duration) {
  // The low half above INT64_MAX becomes a true unsigned (16-byte) integer, never a negative one.
  return fnd::PlistValue(
      fnd::PlistArray{fnd::PlistValue(duration.high()), fnd::PlistValue(duration.low())});
}

WallpaperConfiguration::BackgroundColor decodeColor(const fnd::PlistValue& value,
                                                    const Path& path) {
  const auto& dict = keyedContainer(value, path);
  Path componentsPath = appended(path, kComponentsKey);
  const auto& components = required(dict, kComponentsKey, path);
  const auto* list = components.array();
  if (list == nullptr) mismatch(componentsPath, "Array<Any>", components);
  WallpaperConfiguration::BackgroundColor color;
  for (size_t i = 0; i < list->size(); ++i) {
    color.components.push_back(
        decodeDouble((*list)[i], appended(componentsPath, "Index " + std::to_string(i))));
  }
  return color;
}

fnd::PlistValue encodeColor(const WallpaperConfiguration::BackgroundColor& color) {
  fnd::PlistArray components;
  for (double c : color.components) components.emplace_back(c);
  fnd::PlistDict dict;
  dict.set(kComponentsKey, fnd::PlistValue(std::move(components)));
  return fnd::PlistValue(std::move(dict));
}

WallpaperConfiguration::ImageConfiguration decodeImage(const fnd::PlistValue& value,
                                                       const Path& path) {
  const auto& dict = keyedContainer(value, path);
  WallpaperConfiguration::ImageConfiguration image;
  image.backgroundColor =
      decodeColor(required(dict, kBackgroundColorKey, path), appended(path, kBackgroundColorKey));
  image.placement = decodeInt64(required(dict, kPlacementKey, path), appended(path, kPlacementKey));
  return image;
}

WallpaperConfiguration::ImageFolderConfiguration decodeFolder(const fnd::PlistValue& value,
                                                              const Path& path) {
  const auto& dict = keyedContainer(value, path);
  WallpaperConfiguration::ImageFolderConfiguration folder;
  folder.animate = decodeBool(required(dict, kAnimateKey, path), appended(path, kAnimateKey));
  folder.animateDuration = decodeDuration(required(dict, kAnimateDurationKey, path),
                                          appended(path, kAnimateDurationKey));
  folder.backgroundColor =
      decodeColor(required(dict, kBackgroundColorKey, path), appended(path, kBackgroundColorKey));
  folder.placement =
      decodeInt64(required(dict, kPlacementKey, path), appended(path, kPlacementKey));
  folder.randomize = decodeBool(required(dict, kRandomizeKey, path), appended(path, kRandomizeKey));
  return folder;
}

WallpaperConfiguration::Payload decodePayload(size_t caseIndex, const fnd::PlistValue& value,
                                              const Path& path) {
  switch (caseIndex) {
    case 0: {
      int64_t raw = decodeInt64(value, path);
      auto style = desktopPictureDynamicStyle(raw);
      if (!style) {
        throw DecodingError(
            Kind::dataCorrupted, path,
            "Cannot initialize DesktopPictureDynamicStyle from invalid Int64 value " +
                std::to_string(raw));
      }
      return *style;
    }
    case 1: {
      const auto* s = value.string();
      if (s == nullptr) mismatch(path, "String", value);
      return *s;
    }
    case 2:
      return decodeImage(value, path);
    case 3:
      return decodeFolder(value, path);
    default: {
      const auto* d = value.data();
      if (d == nullptr) mismatch(path, "Data", value);
      return *d;
    }
  }
}

}  // namespace

std::optional<WallpaperConfiguration::DesktopPictureDynamicStyle> desktopPictureDynamicStyle(
    int64_t rawValue) {
  if (rawValue < 0 || rawValue > 3) return std::nullopt;
  return static_cast<WallpaperConfiguration::DesktopPictureDynamicStyle>(rawValue);
}

fnd::PlistValue WallpaperConfiguration::encode() const {
  fnd::PlistValue payload = std::visit(
      [](const auto& p) -> fnd::PlistValue {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, DesktopPictureDynamicStyle>) {
          return fnd::PlistValue(rawValue(p));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return fnd::PlistValue(p);
        } else if constexpr (std::is_same_v<T, ImageConfiguration>) {
          fnd::PlistDict dict;
          dict.set(kBackgroundColorKey, encodeColor(p.backgroundColor));
          dict.set(kPlacementKey, fnd::PlistValue(p.placement));
          return fnd::PlistValue(std::move(dict));
        } else if constexpr (std::is_same_v<T, ImageFolderConfiguration>) {
          fnd::PlistDict dict;
          dict.set(kAnimateKey, fnd::PlistValue(p.animate));
          dict.set(kAnimateDurationKey, encodeDuration(p.animateDuration));
          dict.set(kBackgroundColorKey, encodeColor(p.backgroundColor));
          dict.set(kPlacementKey, fnd::PlistValue(p.placement));
          dict.set(kRandomizeKey, fnd::PlistValue(p.randomize));
          return fnd::PlistValue(std::move(dict));
        } else {
          return fnd::PlistValue(p);
        }
      },
      payload_);
  fnd::PlistDict nested;
  nested.set(kPayloadKey, std::move(payload));
  fnd::PlistDict top;
  top.set(kCaseKeys[payload_.index()], fnd::PlistValue(std::move(nested)));
  return fnd::PlistValue(std::move(top));
}

WallpaperConfiguration WallpaperConfiguration::decode(const fnd::PlistValue& tree) {
  const Path root;
  const auto& top = keyedContainer(tree, root);
  // Keys that name no case are ignored; exactly one case key must remain.
  std::optional<size_t> found;
  size_t count = 0;
  for (size_t i = 0; i < kCaseKeys.size(); ++i) {
    if (top.contains(kCaseKeys[i])) {
      ++count;
      found = i;
    }
  }
  if (count != 1) throw DecodingError(Kind::typeMismatch, root, kInvalidNumberOfKeys);
  Path casePath = appended(root, kCaseKeys[*found]);
  const auto& nested = keyedContainer(*top.find(kCaseKeys[*found]), casePath);
  const auto& payload = required(nested, kPayloadKey, casePath);
  return WallpaperConfiguration(decodePayload(*found, payload, appended(casePath, kPayloadKey)));
}

bool WallpaperConfiguration::operator==(const WallpaperConfiguration& other) const {
  if (kind() == Case::assetID && other.kind() == Case::assetID) {
    return fnd::canonicallyEquivalent(std::get<std::string>(payload_),
                                      std::get<std::string>(other.payload_));
  }
  return payload_ == other.payload_;
}

}  // namespace brellis::daemon_client
