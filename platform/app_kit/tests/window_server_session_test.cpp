#include "platform/app_kit/window_server_session.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/support/temporary_state_root.h"

namespace brellis::platform::app_kit {
namespace {

TEST(WindowServerSessionTest, UnderAStateRootOnlyTheFlagFileCounts) {
  brellis::testing::TemporaryStateRoot root;
  // Once a state root isolates the process, neither a seat nor a display of the machine counts.
  EXPECT_FALSE(sessionCopyCurrentDictionary());
  auto flag = sessionFlagPath();
  ASSERT_TRUE(flag);
  EXPECT_EQ(*flag, root.path() / "window_server" / "session");
  std::filesystem::create_directories(flag->parent_path());
  std::ofstream(*flag).put('\n');
  auto session = sessionCopyCurrentDictionary();
  ASSERT_TRUE(session);
  EXPECT_EQ(session->source, flag->string());
}

}  // namespace
}  // namespace brellis::platform::app_kit
