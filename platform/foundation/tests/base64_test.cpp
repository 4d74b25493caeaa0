#include "platform/foundation/base64.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/hex.h"

namespace brellis::platform::foundation {
namespace {

Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(Base64Test, KnownVectors) {
  // RFC 4648 section 10.
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(toBytes(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), toBytes(plain)) << encoded;
  }
  EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF, 0xBF}), "+/+/");
  EXPECT_EQ(base64Decode("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
}

TEST(Base64Test, EveryByteAndLengthRoundTrips) {
  Bytes bytes;
  for (int i = 0; i < 300; ++i) {
    const std::string text = base64Encode(bytes);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(base64Decode(text), bytes) << i;
    bytes.push_back(static_cast<uint8_t>(i * 37 + 11));
  }
}

TEST(Base64Test, StrictDecodingRefusesEverythingElse) {
  const char* refused[] = {
      "Zg",          // unpadded
      "Zg=",         // wrong length
      "Zm9vY",       // wrong length
      "Zm9v\n",      // trailing line break
      "Zm9v\nYmFy",  // line break inside
      " Zm9v",       // leading white space
      "Zm9 v",       // white space inside
      "Zm\r\n9v",    // CRLF inside
      "Zg==Zm9v",    // "=" in the middle
      "Z=9v",        // "=" in a group's middle
      "=Zm9",        // "=" first
      "Zm=v",        // "=" followed by data
      "Z===",        // three pad characters
      "====",        // all padding
      "Zh==",        // non-zero unused bits (one byte)
      "Zm9=",        // non-zero unused bits (two bytes)
      "Zm9v-_==",    // URL-safe alphabet
      "Zm9v\x80==",  // byte outside ASCII
  };
  for (const char* text : refused) {
    EXPECT_FALSE(base64Decode(text).has_value()) << '"' << text << '"';
  }
  EXPECT_FALSE(base64Decode(std::string_view("Zm9v\0\0\0\0", 8)).has_value());
  EXPECT_EQ(base64Decode(""), Bytes{});
}

TEST(HexTest, EncodesLowerAndDecodesEitherCase) {
  EXPECT_EQ(hexEncode(Bytes{0x00, 0xAB, 0xFF, 0x10}), "00abff10");
  EXPECT_EQ(hexDecode("00abFF10"), (Bytes{0x00, 0xAB, 0xFF, 0x10}));
  EXPECT_EQ(hexDecode(""), Bytes{});
  for (const char* bad : {"0", "abc", "0g", "0x10", " 00", "00 "}) {
    EXPECT_FALSE(hexDecode(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace brellis::platform::foundation
