#include "platform/foundation/uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace brellis::platform::foundation {
namespace {

constexpr const char* kUpper = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

TEST(UuidTest, WritesUpperCaseAndReadsEitherCase) {
  const std::optional<Uuid> upper = Uuid::parse(kUpper);
  ASSERT_TRUE(upper.has_value());
  EXPECT_EQ(upper->bytes()[0], 0x0F);
  EXPECT_EQ(upper->bytes()[15], 0xF0);
  EXPECT_EQ(upper->string(), kUpper);
  const std::optional<Uuid> lower = Uuid::parse("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
  ASSERT_TRUE(lower.has_value());
  EXPECT_EQ(*lower, *upper);
  EXPECT_EQ(Uuid().string(), "00000000-0000-0000-0000-000000000000");
}

TEST(UuidTest, ParseIsStrict) {
  const std::string good = kUpper;
  const std::string refused[] = {
      "",
      good.substr(1),                          // 35 characters
      good + "0",                              // 37 characters
      "{" + good + "}",                        // braces
      " " + good.substr(1),                    // white space
      "0F1E2D3C4B5A69788796A5B4C3D2E1F0",      // no dashes
      "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1FG",  // not hex
      "0F1E2D3C-4B5A-6978-8796_A5B4C3D2E1F0",  // wrong separator
      "0F1E2D3-C4B5A-6978-8796-A5B4C3D2E1F0",  // dash out of place
      std::string("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F\0", 36),
  };
  for (const std::string& text : refused) {
    EXPECT_FALSE(Uuid::parse(text).has_value()) << text;
  }
  // A view need not end where the text ends.
  EXPECT_TRUE(Uuid::parse(std::string_view(good + "trailing").substr(0, 36)).has_value());
}

TEST(UuidTest, RandomIsVersion4AndDistinct) {
  std::set<Uuid> seen;
  for (int i = 0; i < 200; ++i) {
    const Uuid uuid = Uuid::random();
    EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
    EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
    EXPECT_EQ(Uuid::parse(uuid.string()), uuid);
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace brellis::platform::foundation
