#include "platform/transport/frame.h"

#include <gtest/gtest.h>

namespace brellis::platform::transport {
namespace {

struct Cut {
  uint8_t type;
  Bytes payload;
  bool operator==(const Cut&) const = default;
};

const FrameFormat kFormat{1, 1, 5, 64, 0};

Bytes encoded(uint8_t type, const Bytes& payload) {
  return encodeFrame(type, payload, kFormat).value();
}

TEST(FrameTest, WireBytesAreLittleEndianLengthTypeVersionDescriptorsPayload) {
  EXPECT_EQ(encoded(4, {0xAA, 0xBB}), (Bytes{2, 0, 0, 0, 4, 1, 0, 0, 0xAA, 0xBB}));
  ByteWriter writer;
  writer.u16(0x0102);
  writer.u32(0x03040506);
  writer.u64(0x0708090A0B0C0D0E);
  writer.field(std::string_view("x"));
  EXPECT_EQ(writer.bytes(),
            (Bytes{2, 1, 6, 5, 4, 3, 0xE, 0xD, 0xC, 0xB, 0xA, 9, 8, 7, 1, 0, 0, 0, 'x'}));
}

TEST(FrameTest, CutsFramesSplitAtEveryByte) {
  std::vector<Cut> frames = {{1, {1, 2, 3}}, {2, {}}, {4, Bytes(50, 0x5A)}, {5, {}}};
  Bytes stream;
  for (const auto& f : frames) {
    auto bytes = encoded(f.type, f.payload);
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    FrameReader reader(kFormat);
    std::vector<Cut> out;
    for (size_t offset = 0; offset < stream.size(); offset += chunk) {
      reader.push({stream.data() + offset, std::min(chunk, stream.size() - offset)});
      while (true) {
        auto next = reader.next();
        ASSERT_TRUE(next.has_value());
        if (!*next) break;
        out.push_back({(*next)->type, Bytes((*next)->payload.begin(), (*next)->payload.end())});
      }
    }
    EXPECT_EQ(out, frames) << "chunk " << chunk;
    EXPECT_EQ(reader.bufferedBytes(), 0u);
  }
}

TEST(FrameTest, RefusesABadHeaderWithoutAwaitingItsPayloadAndStaysFailed) {
  struct Case {
    Bytes header;
    FrameError error;
  };
  std::vector<Case> cases = {
      {{0xFF, 0xFF, 0xFF, 0xFF, 1, 1, 0, 0}, FrameError::tooLarge},
      {{57, 0, 0, 0, 1, 1, 0, 0}, FrameError::tooLarge},  // one byte above the cap
      {{0, 0, 0, 0, 0, 1, 0, 0}, FrameError::unknownType},
      {{0, 0, 0, 0, 6, 1, 0, 0}, FrameError::unknownType},
      {{0, 0, 0, 0, 1, 2, 0, 0}, FrameError::unknownVersion},
      {{0, 0, 0, 0, 1, 1, 1, 0}, FrameError::tooManyDescriptors},
  };
  for (const auto& c : cases) {
    FrameReader reader(kFormat);
    Bytes stream = encoded(4, {7});  // a good frame before the bad header is still delivered
    stream.insert(stream.end(), c.header.begin(), c.header.end());
    reader.push(stream);
    auto first = reader.next();
    ASSERT_TRUE(first && *first);
    EXPECT_EQ((*first)->payload.size(), 1u);
    auto next = reader.next();
    ASSERT_FALSE(next.has_value());
    EXPECT_EQ(next.error(), c.error);
    EXPECT_EQ(reader.bufferedBytes(), 0u);
    reader.push(encoded(5, {}));
    EXPECT_FALSE(reader.next().has_value());
  }
  EXPECT_TRUE(encodeFrame(1, Bytes(56, 0), kFormat).has_value());  // the cap is inclusive
  EXPECT_FALSE(encodeFrame(1, Bytes(57, 0), kFormat).has_value());
  EXPECT_FALSE(encodeFrame(6, {}, kFormat).has_value());
}

}  // namespace
}  // namespace brellis::platform::transport
