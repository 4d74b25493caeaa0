#include "platform/multipeer/frame.h"

#include <gtest/gtest.h>

#include "platform/multipeer/peer_descriptor.h"
#include "platform/multipeer/service_type.h"

namespace brellis::platform::multipeer {
namespace {

Bytes encoded(const Frame& frame) { return encodeFrame(frame).value(); }

TEST(FrameCodec, LinkFramesAreTransportFramesWithoutDescriptors) {
  EXPECT_EQ(encoded(Frame{FrameType::data, {0xAA, 0xBB}}),
            (Bytes{0x02, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0xAA, 0xBB}));
  EXPECT_EQ(encoded(Frame{FrameType::bye, {}}), (Bytes{0, 0, 0, 0, 0x05, 0x01, 0, 0}));
  EXPECT_TRUE(encodeFrame(Frame{FrameType::data, Bytes(8, 1)}, 8).has_value());  // cap inclusive
  EXPECT_FALSE(encodeFrame(Frame{FrameType::data, Bytes(9, 1)}, 8).has_value());
  for (Bytes header : {Bytes{0, 0, 0, 0, 0x06, 0x01, 0, 0}, Bytes{0, 0, 0, 0, 0x05, 0x01, 1, 0},
                       Bytes{0x01, 0, 0x40, 0, 0x04, 0x01, 0, 0}}) {
    transport::FrameReader reader(linkFrameFormat());
    reader.push(header);
    EXPECT_FALSE(reader.next().has_value());
  }
}

TEST(HelloPayload, RoundTripsAndKeepsAbsentApartFromEmptyContext) {
  Hello withContext{"Mac", "ID-1", 1, Bytes(32, 0xC3)};
  Hello noContext{"Mac", "ID-1", 1, std::nullopt};
  Hello emptyContext{"Mac", "ID-1", 1, Bytes{}};
  for (const auto& hello : {withContext, noContext, emptyContext}) {
    EXPECT_EQ(decodeHello(encodeHello(hello).value()).value(), hello);
  }
  EXPECT_NE(encodeHello(noContext).value(), encodeHello(emptyContext).value());
}

TEST(HelloPayload, EveryTruncationAndTrailingByteIsMalformed) {
  Bytes good = encodeHello(Hello{"Mac", "ID-1", 1, Bytes{1, 2, 3}}).value();
  for (size_t size = 0; size < good.size(); ++size) {
    EXPECT_FALSE(decodeHello(Bytes(good.begin(), good.begin() + size)).has_value()) << size;
  }
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(decodeHello(longer).has_value());
}

TEST(HelloPayload, RefusesOutOfRangeFields) {
  Bytes good = encodeHello(Hello{"M", "I", 0, std::nullopt}).value();
  // Layout: version, len(1) 'M', len(1) 'I', preference, hasContext.
  auto mutated = [&](size_t index, uint8_t value) {
    Bytes copy = good;
    copy.at(index) = value;
    return decodeHello(copy).has_value();
  };
  EXPECT_FALSE(mutated(0, 2));   // version
  EXPECT_FALSE(mutated(5, 0));   // NUL inside the display name
  EXPECT_FALSE(mutated(11, 3));  // encryption preference
  EXPECT_FALSE(mutated(12, 2));  // context flag
  EXPECT_FALSE(decodeHello(encodeHello(Hello{"M", "", 0, std::nullopt}).value()).has_value());
  EXPECT_FALSE(encodeHello(Hello{std::string(256, 'a'), "I", 0, std::nullopt}).has_value());
  // A field length far beyond the payload does not read past it.
  Bytes huge = good;
  huge[1] = 0x7F;
  EXPECT_FALSE(decodeHello(huge).has_value());
}

TEST(ServiceType, FollowsTheNamingRule) {
  for (const char* valid : {"velkor-unlock", "a", "abc123", "a-b-c", "123456789012345"}) {
    EXPECT_TRUE(isValidServiceType(valid)) << valid;
  }
  for (const char* invalid : {"", "1234567890123456", "-abc", "abc-", "a--b", "Velkor", "a_b",
                              "a.b", "a/b", "..", "a b", "\xC3\xA9t\xC3\xA9"}) {
    EXPECT_FALSE(isValidServiceType(invalid)) << invalid;
  }
}

TEST(PeerDescriptorCodec, RoundTripsAndRefusesTamperedFiles) {
  PeerDescriptor descriptor{"PHONE-1", "0123-ABCD", 4242, "00ff11ee22dd33cc"};
  auto bytes = encodePeerDescriptor(descriptor);
  EXPECT_EQ(decodePeerDescriptor(bytes).value(), descriptor);
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(decodePeerDescriptor(Bytes(bytes.begin(), bytes.begin() + size)).has_value());
  }
  for (const char* token : {"../etc", "ABCDEF", "", "0123456789abcdef0123456789abcdef0"}) {
    PeerDescriptor bad = descriptor;
    bad.token = token;
    EXPECT_FALSE(decodePeerDescriptor(encodePeerDescriptor(bad)).has_value()) << token;
  }
  PeerDescriptor noPid = descriptor;
  noPid.pid = 0;
  EXPECT_FALSE(decodePeerDescriptor(encodePeerDescriptor(noPid)).has_value());
}

}  // namespace
}  // namespace brellis::platform::multipeer
