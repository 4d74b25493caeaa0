#include "group_defaults/group_defaults.h"

#include <gtest/gtest.h>

#include "testing/support/temporary_state_root.h"

namespace brellis::group_defaults {
namespace {

using platform::foundation::Bytes;
using platform::foundation::Defaults;
using platform::foundation::PlistValue;
using Key = GroupDefaults::Key;

TEST(GroupDefaultsTest, KeysHaveTheirExactRawValuesInOrder) {
  const char* expected[] = {"Certificate",  "RequirePIN",        "ContainerPeer",
                            "DriverPeer",   "PairingIdentities", "EnableUnlockForLogin",
                            "UnlockVersion"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_STREQ(GroupDefaults::rawValue(static_cast<Key>(i)), expected[i]);
    EXPECT_EQ(GroupDefaults::keyFromRawValue(expected[i]), static_cast<Key>(i));
  }
  EXPECT_FALSE(GroupDefaults::keyFromRawValue("requirePIN").has_value());
  EXPECT_STREQ(GroupDefaults::name, "group.com.velkor.tarvo");
}

TEST(GroupDefaultsTest, EmptySuiteGivesTheEmptyAnswers) {
  testing::TemporaryStateRoot root;
  auto defaults = *GroupDefaults::init(GroupDefaults::name);
  EXPECT_FALSE(defaults.boolean(Key::requirePIN));
  EXPECT_EQ(defaults.integer(Key::unlockVersion), 0);
  EXPECT_FALSE(defaults.data(Key::certificate).has_value());
  EXPECT_FALSE(defaults.string(Key::pairingIdentities).has_value());
  EXPECT_FALSE(defaults.object(Key::containerPeer).has_value());
  EXPECT_FALSE(GroupDefaults::init("").has_value());
}

TEST(GroupDefaultsTest, RemoveAllClearsTheNamedDomainWhateverSuiteWasOpened) {
  testing::TemporaryStateRoot root;
  auto group = *GroupDefaults::init(GroupDefaults::name);
  auto other = *GroupDefaults::init("other.suite");
  group.set(PlistValue(Bytes{1, 2, 3}), Key::certificate);
  group.set(PlistValue(true), Key::requirePIN);
  group.set(PlistValue(int64_t{1}), Key::unlockVersion);
  Defaults::open(GroupDefaults::name)->set("Unknown", PlistValue("x"));
  other.set(PlistValue(true), Key::requirePIN);

  EXPECT_EQ(group.data(Key::certificate), (Bytes{1, 2, 3}));
  EXPECT_FALSE(group.data(Key::requirePIN).has_value());

  other.removeAll();  // removes "group.com.velkor.tarvo", not "other.suite"
  EXPECT_FALSE(group.data(Key::certificate).has_value());
  EXPECT_FALSE(group.boolean(Key::requirePIN));
  EXPECT_EQ(group.integer(Key::unlockVersion), 0);
  EXPECT_FALSE(Defaults::open(GroupDefaults::name)->object("Unknown").has_value());
  EXPECT_TRUE(other.boolean(Key::requirePIN));
}

TEST(GroupDefaultsTest, TwoProcessesWritingOneSuiteLoseNothing) {
  testing::TemporaryStateRoot root;
  // Every write rewrites the whole suite, so the cost grows with the square of the count; a few
  // hundred writes each are enough for the two writers to interleave many times.
  const int count = 250;
  int a = testing::startProgram(GROUP_DEFAULTS_PEER, {"write", "a", std::to_string(count)});
  int b = testing::startProgram(GROUP_DEFAULTS_PEER, {"write", "b", std::to_string(count)});
  ASSERT_EQ(testing::waitProgram(a), 0);
  ASSERT_EQ(testing::waitProgram(b), 0);
  auto values = Defaults::open(GroupDefaults::name)->dictionaryRepresentation();
  EXPECT_EQ(values.size(), size_t(2 * count));
  for (int i = 0; i < count; i += 97) {
    EXPECT_EQ(values.find("a" + std::to_string(i))->int64(), i);
    EXPECT_EQ(values.find("b" + std::to_string(i))->int64(), i);
  }

  auto group = *GroupDefaults::init(GroupDefaults::name);
  group.set(PlistValue(true), Key::enableUnlockForLogin);
  ASSERT_EQ(testing::runProgram(GROUP_DEFAULTS_PEER, {"remove-all"}), 0);
  EXPECT_FALSE(group.boolean(Key::enableUnlockForLogin));
}

}  // namespace
}  // namespace brellis::group_defaults
