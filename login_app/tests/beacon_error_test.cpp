#include "login_app/beacon_error.h"

#include <gtest/gtest.h>

namespace brellis::login_app {
namespace {

TEST(BeaconErrorTest, TheContainerIdentifierIsShownInItsEscapedForm) {
  EXPECT_EQ(BeaconError::corruptContainerUUIDString("not-a-uuid").description(),
            "corruptContainerUUIDString(\"not-a-uuid\")");
  // An identifier with a line break cannot start a line of its own in the log.
  auto error =
      BeaconError::corruptContainerUUIDString(std::string("a\nb\t\r\0\"'\\\x07\xC3\xA9", 12));
  EXPECT_EQ(error.description(),
            "corruptContainerUUIDString(\"a\\nb\\t\\r\\0\\\"\\'\\\\\\u{07}\xC3\xA9\")");
  EXPECT_EQ(error.containerID(), std::string("a\nb\t\r\0\"'\\\x07\xC3\xA9", 12));
  auto record = error.toRecord();
  EXPECT_EQ(record.code, 0);
  const auto* debugDescription = record.userInfo.find(platform::foundation::kDebugDescriptionKey);
  ASSERT_NE(debugDescription, nullptr);
  ASSERT_NE(debugDescription->string(), nullptr);
  EXPECT_EQ(*debugDescription->string(), error.description());
  EXPECT_EQ(BeaconError::timedOut().description(), "timedOut");
}

}  // namespace
}  // namespace brellis::login_app
