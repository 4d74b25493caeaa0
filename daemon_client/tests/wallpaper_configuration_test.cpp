#include "daemon_client/wallpaper_configuration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "platform/foundation/decoding_error.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/keyed_unarchiver.h"
#include "platform/foundation/plist_codec.h"
#include "testing/support/python_oracle.h"

namespace brellis::daemon_client {
namespace {

namespace fnd = platform::foundation;
using fnd::DecodingError;
using WC = WallpaperConfiguration;
using Style = WC::DesktopPictureDynamicStyle;

// Runs the python3 plistlib reader over `bytes` and returns its canonical JSON.
std::string oracle(const fnd::Bytes& bytes) {
  return brellis::testing::runPythonOracleOnFile(BRELLIS_PLIST_ORACLE, {}, bytes).line();
}

WC folder(Duration duration) {
  WC::ImageFolderConfiguration f;
  f.animate = true;
  f.animateDuration = duration;
  f.backgroundColor.components = {0.25, 1.0};
  f.placement = -3;
  f.randomize = false;
  return WC(f);
}

WC decodeArchived(const WC& value) {
  auto tree = fnd::unarchiveDecodable(fnd::archiveEncodable(value.encode()));
  EXPECT_TRUE(tree.has_value());
  return WC::decode(*tree);
}

DecodingError decodeError(const fnd::PlistValue& tree) {
  try {
    WC::decode(tree);
  } catch (const DecodingError& e) {
    return e;
  }
  ADD_FAILURE() << "decoding succeeded";
  return DecodingError(DecodingError::Kind::dataCorrupted, {}, "");
}

fnd::PlistValue caseTree(const char* key, fnd::PlistValue payload) {
  fnd::PlistDict nested;
  nested.set("_0", std::move(payload));
  fnd::PlistDict top;
  top.set(key, fnd::PlistValue(std::move(nested)));
  return fnd::PlistValue(std::move(top));
}

TEST(WallpaperDurationTest, SplitsAttosecondsIntoSignedHighAndUnsignedLow) {
  EXPECT_EQ(Duration::seconds(1).high(), 0);
  EXPECT_EQ(Duration::seconds(1).low(), 1000000000000000000ull);
  EXPECT_EQ(Duration::seconds(10).low(), 10000000000000000000ull);
  EXPECT_EQ(Duration::seconds(20).high(), 1);
  EXPECT_EQ(Duration::seconds(20).low(), 1553255926290448384ull);
  Duration minusOne{-1};
  EXPECT_EQ(minusOne.high(), -1);
  EXPECT_EQ(minusOne.low(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(Duration::fromComponents(-1, std::numeric_limits<uint64_t>::max()), minusOne);
  EXPECT_EQ(Duration::fromComponents(1, 1553255926290448384ull), Duration::seconds(20));
}

TEST(WallpaperConfigurationTest, EveryCaseRoundTripsThroughAKeyedArchive) {
  WC::ImageConfiguration image;
  image.backgroundColor.components = {0.1, -0.0, 1e300};
  image.placement = INT64_MIN;
  const WC values[] = {
      WC(Style::automatic),
      WC(Style::dark),
      WC(std::string("asset-\xc3\xa9")),
      WC(std::string()),
      WC(image),
      WC(WC::ImageConfiguration{}),
      folder(Duration::seconds(10)),
      folder(Duration::seconds(20)),
      folder(Duration{-1}),
      WC(fnd::Bytes{}),
      WC(fnd::Bytes{0, 1, 0xff}),
  };
  for (const auto& value : values) {
    EXPECT_EQ(decodeArchived(value), value);
    EXPECT_EQ(WC::decode(fnd::readBinaryPlist(fnd::writeBinaryPlist(value.encode()))), value);
  }
}

TEST(WallpaperConfigurationTest, AssetIdentifiersEqualInComposedAndDecomposedForm) {
  auto asset = [](std::string id) { return WC(WC::Payload(std::in_place_index<1>, id)); };
  EXPECT_EQ(asset("caf\xC3\xA9"), asset("cafe\xCC\x81"));             // NFC and NFD
  EXPECT_EQ(asset("\xE2\x84\xAB"), asset("\xC3\x85"));                // Angstrom sign
  EXPECT_EQ(asset("o\xCC\x88\xCC\xA3"), asset("o\xCC\xA3\xCC\x88"));  // mark order
  EXPECT_NE(asset("cafe"), asset("caf\xC3\xA9"));
  EXPECT_NE(asset("\xFF"), asset("\xFE"));  // ill-formed: only the same bytes are equal
  EXPECT_EQ(asset("\xFF"), asset("\xFF"));
  EXPECT_NE(asset("a"), WC(WC::Payload(std::in_place_index<4>, fnd::Bytes{'a'})));
}

TEST(WallpaperConfigurationTest, NanComponentsNeverCompareEqualAndSignedZerosDo) {
  WC::ImageConfiguration a, b;
  a.backgroundColor.components = {std::nan("")};
  b.backgroundColor.components = {std::nan("")};
  EXPECT_NE(WC(a), WC(b));
  a.backgroundColor.components = {0.0};
  b.backgroundColor.components = {-0.0};
  EXPECT_EQ(WC(a), WC(b));
  b.backgroundColor.components = {0.0, 0.0};
  EXPECT_NE(WC(a), WC(b));
}

TEST(WallpaperConfigurationTest, PythonReadsTheArchiveWithTheSameValues) {
  EXPECT_EQ(oracle(fnd::archiveEncodable(folder(Duration::seconds(10)).encode())),
            "{\"imageFolder\":{\"_0\":{\"animate\":true,\"animateDuration\":[0,"
            "10000000000000000000],\"backgroundColor\":{\"components\":[{\"$real\":\"0.25\"},"
            "{\"$real\":\"1.0\"}]},\"placement\":-3,\"randomize\":false}}}");
  EXPECT_EQ(oracle(fnd::writeBinaryPlist(folder(Duration::seconds(20)).encode())),
            "{\"imageFolder\":{\"_0\":{\"animate\":true,\"animateDuration\":[1,"
            "1553255926290448384],\"backgroundColor\":{\"components\":[{\"$real\":\"0.25\"},"
            "{\"$real\":\"1.0\"}]},\"placement\":-3,\"randomize\":false}}}");
  EXPECT_EQ(oracle(fnd::writeBinaryPlist(folder(Duration{-1}).encode()))
                    .find("\"animateDuration\":[-1,18446744073709551615]") != std::string::npos,
            true);
  EXPECT_EQ(oracle(fnd::archiveEncodable(WC(Style::dark).encode())), "{\"style\":{\"_0\":3}}");
  EXPECT_EQ(oracle(fnd::archiveEncodable(WC(fnd::Bytes{0xab}).encode())),
            "{\"data\":{\"_0\":{\"$data\":\"ab\"}}}");
}

TEST(WallpaperConfigurationTest, TheTopLevelNeedsExactlyOneCaseKey) {
  auto empty = decodeError(fnd::PlistValue(fnd::PlistDict{}));
  EXPECT_EQ(empty.kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(empty.debugDescription(), "Invalid number of keys found, expected one.");
  EXPECT_EQ(empty.toRecord().code, 4864);

  auto two = caseTree("style", fnd::PlistValue(int64_t{1}));
  fnd::PlistDict nested;
  nested.set("_0", fnd::PlistValue(fnd::Bytes{}));
  two.dict()->set("data", fnd::PlistValue(std::move(nested)));
  EXPECT_EQ(decodeError(two).debugDescription(), "Invalid number of keys found, expected one.");

  auto extra = caseTree("style", fnd::PlistValue(int64_t{2}));
  extra.dict()->set("unrelated", fnd::PlistValue("x"));
  extra.dict()->set("Style", fnd::PlistValue("x"));
  EXPECT_EQ(WC::decode(extra), WC(Style::light));
}

TEST(WallpaperConfigurationTest, StylesOutsideZeroToThreeAreCorruptData) {
  for (int64_t raw : {int64_t{-1}, int64_t{4}, INT64_MAX, INT64_MIN}) {
    auto error = decodeError(caseTree("style", fnd::PlistValue(raw)));
    EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << raw;
    EXPECT_EQ(error.toRecord().code, 4864);
  }
  EXPECT_EQ(
      decodeError(caseTree("style", fnd::PlistValue(fnd::PlistBigUnsigned{1ull << 63}))).kind(),
      DecodingError::Kind::dataCorrupted);
  for (int64_t raw = 0; raw <= 3; ++raw) {
    EXPECT_EQ(rawValue(std::get<Style>(WC::decode(caseTree("style", raw)).payload())), raw);
  }
  EXPECT_FALSE(desktopPictureDynamicStyle(4).has_value());
  EXPECT_FALSE(desktopPictureDynamicStyle(-1).has_value());
}

TEST(WallpaperConfigurationTest, MistypedOrMissingFieldsFailWithTheDecodersError) {
  // A boolean is not an integer, a real is not an integer, an integer is not a boolean.
  EXPECT_EQ(decodeError(caseTree("style", fnd::PlistValue(true))).kind(),
            DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeError(caseTree("style", fnd::PlistValue(1.0))).kind(),
            DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeError(caseTree("assetID", fnd::PlistValue(fnd::Bytes{}))).kind(),
            DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeError(caseTree("data", fnd::PlistValue("text"))).kind(),
            DecodingError::Kind::typeMismatch);

  fnd::PlistDict noPayload;
  noPayload.set("_1", fnd::PlistValue(int64_t{1}));
  fnd::PlistDict top;
  top.set("style", fnd::PlistValue(noPayload));
  auto missing = decodeError(fnd::PlistValue(top));
  EXPECT_EQ(missing.kind(), DecodingError::Kind::keyNotFound);
  EXPECT_EQ(missing.toRecord().code, 4865);

  auto tree = folder(Duration::seconds(1)).encode();
  auto* fields = tree.dict()->find("imageFolder")->dict()->find("_0")->dict();
  auto good = *fields;
  fields->set("animate", fnd::PlistValue(int64_t{1}));
  EXPECT_EQ(decodeError(tree).kind(), DecodingError::Kind::typeMismatch);
  *fields = good;
  fields->set("animateDuration", fnd::PlistValue(fnd::PlistArray{fnd::PlistValue(int64_t{0})}));
  EXPECT_EQ(decodeError(tree).kind(), DecodingError::Kind::valueNotFound);
  fields->set("animateDuration",
              fnd::PlistValue(fnd::PlistArray{fnd::PlistValue(int64_t{0}), fnd::PlistValue(-1)}));
  EXPECT_EQ(decodeError(tree).kind(), DecodingError::Kind::dataCorrupted);
  fields->set("animateDuration",
              fnd::PlistValue(fnd::PlistArray{fnd::PlistValue(fnd::PlistBigUnsigned{1ull << 63}),
                                              fnd::PlistValue(int64_t{0})}));
  EXPECT_EQ(decodeError(tree).kind(), DecodingError::Kind::dataCorrupted);
  *fields = good;
  fields->remove("randomize");
  auto lacking = decodeError(tree);
  EXPECT_EQ(lacking.kind(), DecodingError::Kind::keyNotFound);
  EXPECT_EQ(lacking.codingPath(), (std::vector<std::string>{"imageFolder", "_0"}));
  *fields = good;
  fields->find("backgroundColor")->dict()->set("components", fnd::PlistValue(fnd::PlistArray{"x"}));
  EXPECT_EQ(decodeError(tree).kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeError(fnd::PlistValue("not a dictionary")).kind(),
            DecodingError::Kind::typeMismatch);
}

}  // namespace
}  // namespace brellis::daemon_client
