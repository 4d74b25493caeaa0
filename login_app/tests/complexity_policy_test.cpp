#include "login_app/complexity_policy.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "login_app/network_check.h"
#include "platform/foundation/decoding_error.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::login_app {
namespace {

using platform::foundation::DecodingError;
using platform::foundation::PlistDict;
using platform::foundation::PlistValue;

std::vector<std::string> keysOf(const PlistValue& value) {
  std::vector<std::string> keys;
  for (const auto& [key, entry] : *value.dict()) keys.push_back(key);
  return keys;
}

TEST(ComplexityPolicyTest, ReadsAndWritesOnlyPresentKeysInTableOrder) {
  // Empty both ways.
  auto empty = ComplexityPolicy::decode(PlistValue(PlistDict{}));
  EXPECT_EQ(empty, ComplexityPolicy{});
  EXPECT_EQ(empty.encode(), PlistValue(PlistDict{}));

  // Written in table order whatever order they were read in; absent fields stay absent.
  PlistDict dict;
  dict.set("excludeUsername", PlistValue(false));
  dict.set("minMatches", PlistValue(int64_t{2}));
  dict.set("minLength", PlistValue(int64_t{12}));
  dict.set("unknown", PlistValue(std::string("ignored")));
  auto policy = ComplexityPolicy::decode(PlistValue(dict));
  EXPECT_EQ(policy.minLength, 12);
  EXPECT_EQ(policy.minMatches, 2);
  EXPECT_EQ(policy.excludeUsername, false);
  EXPECT_FALSE(policy.minUpperCase);
  EXPECT_EQ(keysOf(policy.encode()),
            (std::vector<std::string>{"minLength", "minMatches", "excludeUsername"}));
  EXPECT_EQ(ComplexityPolicy::decode(policy.encode()), policy);
  EXPECT_NE(policy, ComplexityPolicy{});
}

TEST(ComplexityPolicyTest, APresentKeyOfTheWrongKindFailsTheWholeRecord) {
  const std::vector<std::pair<std::string, PlistValue>> wrong = {
      {"excludeUsername", PlistValue(int64_t{1})},
      {"minLength", PlistValue(true)},
      {"minSymbol", PlistValue(std::string("3"))},
      {"minNumber", PlistValue(1.5)},
  };
  for (const auto& [key, value] : wrong) {
    PlistDict dict;
    dict.set("minLength", PlistValue(int64_t{8}));
    dict.set(key, value);
    try {
      ComplexityPolicy::decode(PlistValue(dict));
      ADD_FAILURE() << key;
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch) << key;
      EXPECT_EQ(error.codingPath(), std::vector<std::string>{key});
    }
  }
  EXPECT_THROW(ComplexityPolicy::decode(PlistValue(std::string("x"))), DecodingError);
}

TEST(NetworkCheckTest, IsTheIntegerOfItsKeyOrZero) {
  brellis::testing::TemporaryStateRoot root;
  auto defaults = platform::foundation::Defaults::open("com.velkor.passwordpolicy");
  ASSERT_TRUE(defaults);
  EXPECT_EQ(networkCheck(*defaults), 0);
  // A numeric text reads as its number; any other text has none.
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int64_t>>{{"5", 5},
                                                                                   {" -12", -12},
                                                                                   {"+7", 7},
                                                                                   {"2.9", 2},
                                                                                   {"1e3", 1000},
                                                                                   {"abc", 0},
                                                                                   {"", 0},
                                                                                   {"5abc", 0},
                                                                                   {"inf", 0},
                                                                                   {"nan", 0},
                                                                                   {"0x10", 0},
                                                                                   {"1e30", 0}}) {
    defaults->set(kNetworkCheckKey, PlistValue(text));
    EXPECT_EQ(networkCheck(*defaults), expected) << text;
  }
  defaults->set(kNetworkCheckKey, PlistValue(int64_t{3}));
  EXPECT_EQ(networkCheck(*defaults), 3);
  defaults->set(kNetworkCheckKey, PlistValue(true));
  EXPECT_EQ(networkCheck(*defaults), 1);
}

}  // namespace
}  // namespace brellis::login_app
