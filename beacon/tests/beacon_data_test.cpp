#include "beacon/beacon_data.h"

#include <gtest/gtest.h>

#include "platform/core_bluetooth/manager_state.h"

namespace brellis::beacon {
namespace {

using platform::foundation::Bytes;
using platform::foundation::Uuid;

const char* kUuidText = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";

Bytes uuidBytes() {
  return {0xE2, 0xC5, 0x6D, 0xB5, 0xDF, 0xFB, 0x48, 0xD2,
          0xB0, 0x60, 0xD0, 0xF5, 0xA7, 0x10, 0x96, 0xE0};
}

BeaconData sample(uint16_t major, uint16_t minor, int8_t power) {
  return BeaconData(*Uuid::parse(kUuidText), major, minor, power);
}

TEST(BeaconDataTest, PayloadIsUuidThenBigEndianMajorMinorThenPowerByte) {
  Bytes expected = uuidBytes();
  expected.insert(expected.end(), {0x00, 0x01, 0x00, 0x00, 0xCE});
  EXPECT_EQ(sample(1, 0, -50).payload(), expected);

  auto bytes = sample(258, 0xABCD, 127).payload();
  ASSERT_EQ(bytes.size(), 21u);
  EXPECT_EQ(bytes[16], 0x01);
  EXPECT_EQ(bytes[17], 0x02);
  EXPECT_EQ(bytes[18], 0xAB);
  EXPECT_EQ(bytes[19], 0xCD);
  EXPECT_EQ(bytes[20], 0x7F);
}

TEST(BeaconDataTest, PayloadIsAlwaysTwentyOneBytes) {
  for (auto [major, minor, power] :
       {std::tuple<uint16_t, uint16_t, int8_t>{0, 0, 0}, {65535, 65535, -128}, {65535, 0, 127}}) {
    auto bytes = BeaconData(Uuid(), major, minor, power).payload();
    ASSERT_EQ(bytes.size(), 21u);
    EXPECT_EQ(bytes[16], major >> 8);
    EXPECT_EQ(bytes[19], minor & 0xFF);
    EXPECT_EQ(bytes[20], static_cast<uint8_t>(power));
  }
}

TEST(BeaconDataTest, AdvertisementIsTheOneBeaconEntry) {
  auto data = sample(1, 0, -50);
  auto dict = data.advertisementData();
  ASSERT_EQ(dict.size(), 1u);
  const auto* value = dict.find("kCBAdvDataAppleBeaconKey");
  ASSERT_NE(value, nullptr);
  ASSERT_NE(value->data(), nullptr);
  EXPECT_EQ(*value->data(), data.payload());
}

TEST(BeaconDataTest, DescriptionUsesUpperCaseUuidSignedPowerAndEndsWithLineFeed) {
  EXPECT_EQ(sample(1, 0, -50).description(),
            "uuid: E2C56DB5-DFFB-48D2-B060-D0F5A71096E0, major: 1, minor: 0, "
            "measuredPower: -50\n");
  auto lower = BeaconData(*Uuid::parse("e2c56db5-dffb-48d2-b060-d0f5a71096e0"), 65535, 258, -128);
  EXPECT_EQ(lower.description(),
            "uuid: E2C56DB5-DFFB-48D2-B060-D0F5A71096E0, major: 65535, minor: 258, "
            "measuredPower: -128\n");
}

}  // namespace
}  // namespace brellis::beacon
