#include "platform/xpc/frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace brellis::platform::xpc {
namespace {

Frame sampleCall() {
  ErrorRecord error{"SomeDomain", -7, {}};
  error.userInfo.set("NSLocalizedDescription", "Nope");
  Frame frame;
  frame.type = FrameType::call;
  frame.id = 42;
  frame.selector = "do:it:";
  frame.wantsReply = true;
  frame.values = {Value::null(),
                  Value::boolean(true),
                  Value::int64(-5),
                  Value::uint64(UINT64_MAX),
                  Value::real(2.5),
                  Value::string("h\xC3\xA9llo"),
                  Value::data({0, 1, 2, 255}),
                  Value::date(PlistDate{12.25}),
                  Value::array({Value::int64(1), Value::string("two")}),
                  Value::dict({{"a", Value::int64(1)}, {"b", Value::array({})}}),
                  Value::error(error)};
  return frame;
}

tl::expected<std::optional<Frame>, std::string> readOne(const EncodedFrame& encoded,
                                                        ConnectionLimits limits = {}) {
  FrameReader reader(limits);
  reader.push(encoded.bytes);
  return reader.next();
}

TEST(FrameTest, EveryValueKindRoundTrips) {
  auto encoded = encodeFrame(sampleCall(), {});
  ASSERT_TRUE(encoded);
  auto decoded = readOne(*encoded);
  ASSERT_TRUE(decoded) << decoded.error();
  ASSERT_TRUE(*decoded);
  const Frame& frame = **decoded;
  EXPECT_EQ(frame.type, FrameType::call);
  EXPECT_EQ(frame.id, 42u);
  EXPECT_EQ(frame.selector, "do:it:");
  EXPECT_TRUE(frame.wantsReply);
  EXPECT_EQ(frame.values, sampleCall().values);
}

TEST(FrameTest, ByteAtATimeDeliveryYieldsOneFrame) {
  auto encoded = encodeFrame(sampleCall(), {});
  ASSERT_TRUE(encoded);
  FrameReader reader;
  for (size_t i = 0; i < encoded->bytes.size(); ++i) {
    auto next = reader.next();
    ASSERT_TRUE(next);
    EXPECT_FALSE(*next);
    reader.push({&encoded->bytes[i], 1});
  }
  auto next = reader.next();
  ASSERT_TRUE(next && *next);
  EXPECT_EQ(reader.bufferedBytes(), 0u);
}

TEST(FrameTest, HeaderLayoutIsLittleEndianWithDescriptorCount) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Frame frame;
  frame.type = FrameType::reply;
  frame.id = 1;
  frame.values = {Value::fd(makeSharedFd(UniqueFd(pair[0])))};
  auto encoded = encodeFrame(frame, {});
  ASSERT_TRUE(encoded);
  ::close(pair[1]);
  const auto& b = encoded->bytes;
  uint32_t length = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24;
  EXPECT_EQ(length, b.size() - kFrameHeaderSize);
  EXPECT_EQ(b[4], 3);  // reply
  EXPECT_EQ(b[5], kProtocolVersion);
  EXPECT_EQ(b[6] | b[7] << 8, 1);
  EXPECT_EQ(encoded->fds.size(), 1u);
}

TEST(FrameTest, EveryTruncationFailsOrWaitsNeverCrashes) {
  auto encoded = encodeFrame(sampleCall(), {});
  ASSERT_TRUE(encoded);
  // Shorten the declared payload: the frame decodes short and must be refused.
  for (size_t cut = 1; cut < encoded->bytes.size() - kFrameHeaderSize; ++cut) {
    auto bytes = encoded->bytes;
    uint32_t length = static_cast<uint32_t>(bytes.size() - kFrameHeaderSize - cut);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(length >> (8 * i));
    bytes.resize(kFrameHeaderSize + length);
    FrameReader reader;
    reader.push(bytes);
    auto next = reader.next();
    EXPECT_FALSE(next) << "cut " << cut;
  }
}

TEST(FrameTest, EveryFlippedBitIsHandledCleanly) {
  auto encoded = encodeFrame(sampleCall(), {});
  ASSERT_TRUE(encoded);
  for (size_t byte = 0; byte < encoded->bytes.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto bytes = encoded->bytes;
      bytes[byte] ^= static_cast<uint8_t>(1 << bit);
      FrameReader reader;
      reader.push(bytes);
      (void)reader.next();  // any outcome but a crash
    }
  }
}

TEST(FrameTest, LimitsAreEnforcedOnBothSides) {
  ConnectionLimits limits;
  limits.maxNesting = 4;
  Value deep = Value::int64(0);
  for (int i = 0; i < 6; ++i) deep = Value::array({deep});
  Frame frame;
  frame.type = FrameType::reply;
  frame.values = {deep};
  EXPECT_FALSE(encodeFrame(frame, limits));
  auto unlimited = encodeFrame(frame, {});
  ASSERT_TRUE(unlimited);
  auto decoded = readOne(*unlimited, limits);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error(), "nesting too deep");

  ConnectionLimits small;
  small.maxFrameSize = 64;
  frame.values = {Value::data(Bytes(100, 1))};
  EXPECT_FALSE(encodeFrame(frame, small));
  auto big = encodeFrame(frame, {});
  ASSERT_TRUE(big);
  FrameReader reader(small);
  reader.push({big->bytes.data(), kFrameHeaderSize});  // the header alone is enough to refuse
  auto next = reader.next();
  ASSERT_FALSE(next);
  EXPECT_EQ(next.error(), "frame too large");
}

TEST(FrameTest, DescriptorsMustBeNamedExactlyOnce) {
  // A frame that claims one descriptor but names none, and one naming a missing index.
  Frame frame;
  frame.type = FrameType::reply;
  frame.id = 3;
  auto encoded = encodeFrame(frame, {});
  ASSERT_TRUE(encoded);
  auto bytes = encoded->bytes;
  bytes[6] = 1;
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ::close(pair[1]);
  FrameReader reader;
  reader.push(bytes);
  reader.pushDescriptor(UniqueFd(pair[0]));
  auto next = reader.next();
  ASSERT_FALSE(next);
  EXPECT_EQ(next.error(), "descriptor not named by any value");

  FrameReader missing;
  missing.push(bytes);
  auto none = missing.next();
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), "descriptors missing");
}

TEST(FrameTest, MalformedValuesAreRefused) {
  struct Case {
    std::vector<uint8_t> values;  // after the count
    const char* error;
  };
  std::vector<Case> cases = {
      {{1, 2}, "invalid boolean"},
      {{5, 2, 0, 0, 0, 0xC3, 0x28}, "string is not UTF-8"},
      {{9, 2, 0, 0, 0, 1, 0, 0, 0, 'k', 0, 1, 0, 0, 0, 'k', 0}, "duplicate dictionary key"},
      {{8, 0xFF, 0xFF, 0xFF, 0xFF}, "count beyond the frame"},
      {{200}, "unknown value kind 200"},
      {{10, 1, 0, 0, 0, 'D', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}, "error user info is not a dictionary"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> payload(8, 0);  // id
    payload.insert(payload.end(), {1, 0, 0, 0});
    payload.insert(payload.end(), c.values.begin(), c.values.end());
    auto frame = decodePayload(FrameType::reply, payload, {}, {});
    ASSERT_FALSE(frame) << c.error;
    EXPECT_EQ(frame.error(), c.error);
  }
}

}  // namespace
}  // namespace brellis::platform::xpc
