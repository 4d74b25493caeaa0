#include "platform/foundation/defaults.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/foundation/date_format.h"
#include "platform/foundation/error_record.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::platform::foundation {
namespace {

TEST(DefaultsTest, UnsafeSuiteNamesAreRefused) {
  testing::TemporaryStateRoot root;
  for (std::string_view bad :
       std::vector<std::string_view>{"", ".", "..", "a/b", "/", std::string_view("a\0b", 3)}) {
    EXPECT_FALSE(Defaults::open(bad).has_value()) << bad;
  }
  EXPECT_FALSE(Defaults::open(std::string(201, 'x')).has_value());
  EXPECT_TRUE(Defaults::open("group.com.example").has_value());
}

TEST(DefaultsTest, EmptyAnswersAndKindsAreNotConverted) {
  testing::TemporaryStateRoot root;
  auto suite = *Defaults::open("suite");
  EXPECT_FALSE(suite.object("k").has_value());
  EXPECT_FALSE(suite.boolean("k"));
  EXPECT_EQ(suite.integer("k"), 0);
  suite.set("s", PlistValue("text"));
  EXPECT_FALSE(suite.data("s").has_value());
  EXPECT_EQ(suite.string("s"), "text");
  suite.set("d", PlistValue(Bytes{1, 2}));
  EXPECT_FALSE(suite.string("d").has_value());
  EXPECT_EQ(suite.data("d"), (Bytes{1, 2}));
  suite.set("n", PlistValue(int64_t{-7}));
  EXPECT_EQ(suite.integer("n"), -7);
  suite.remove("never-set");
  suite.remove("n");
  EXPECT_EQ(suite.integer("n"), 0);
}

TEST(DefaultsTest, ReadsAreNeverCachedBetweenInstances) {
  testing::TemporaryStateRoot root;
  auto a = *Defaults::open("shared");
  auto b = *Defaults::open("shared");
  EXPECT_FALSE(b.boolean("flag"));
  a.set("flag", PlistValue(true));
  EXPECT_TRUE(b.boolean("flag"));
  Defaults::removePersistentDomain("shared");
  EXPECT_FALSE(a.boolean("flag"));
}

TEST(DefaultsTest, ACorruptSuiteReadsAsEmptyIsLoggedAndCanBeWrittenAgain) {
  testing::TemporaryStateRoot root;
  os_log::ScopedLogCapture capture;
  std::filesystem::create_directories(Defaults::directory());
  std::ofstream(Defaults::directory() / "broken.plist") << "bplist00 not really";
  auto suite = *Defaults::open("broken");
  EXPECT_FALSE(suite.object("k").has_value());
  EXPECT_FALSE(capture.sink().records().empty());
  suite.set("k", PlistValue(int64_t{1}));
  EXPECT_EQ(suite.integer("k"), 1);
}

TEST(DefaultsTest, ReplaceIfEqualWritesOnlyWhenTheValueIsUnchanged) {
  testing::TemporaryStateRoot root;
  auto suite = *Defaults::open("cas");
  suite.set("k", PlistValue(Bytes{1}));
  EXPECT_FALSE(suite.replaceIfEqual("k", PlistValue(Bytes{2}), PlistValue("new")));
  EXPECT_EQ(suite.data("k"), Bytes{1});
  EXPECT_TRUE(suite.replaceIfEqual("k", PlistValue(Bytes{1}), PlistValue("new")));
  EXPECT_EQ(suite.string("k"), "new");
  EXPECT_FALSE(suite.replaceIfEqual("absent", PlistValue("x"), std::nullopt));
  EXPECT_TRUE(suite.replaceIfEqual("absent", std::nullopt, PlistValue("x")));
  EXPECT_TRUE(suite.replaceIfEqual("k", PlistValue("new"), std::nullopt));
  EXPECT_FALSE(suite.object("k").has_value());
}

TEST(DefaultsTest, ConcurrentWritersOfDifferentKeysLoseNothing) {
  testing::TemporaryStateRoot root;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      auto suite = *Defaults::open("race");
      for (int i = 0; i < 50; ++i)
        suite.set("t" + std::to_string(t) + "_" + std::to_string(i), PlistValue(int64_t(i)));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Defaults::open("race")->dictionaryRepresentation().size(), 200u);
}

TEST(ErrorRecordTest, DescriptionsFollowThePlatformTexts) {
  ErrorRecord plain{"VelkorIPC.CodesignSecurityPolicyError", 2, {}};
  EXPECT_EQ(plain.localizedDescription(),
            "The operation couldn\u2019t be completed. "
            "(VelkorIPC.CodesignSecurityPolicyError error 2.)");
  ErrorRecord described{kCocoaErrorDomain, 4097, {}};
  described.userInfo.set(kLocalizedDescriptionKey, PlistValue("interrupted"));
  EXPECT_EQ(described.localizedDescription(), "interrupted");
  EXPECT_EQ(described.description(),
            "Error Domain=NSCocoaErrorDomain Code=4097 \"interrupted\" "
            "UserInfo={NSLocalizedDescription=interrupted}");
  EXPECT_EQ(errorText(described, "desc"), "NSCocoaErrorDomain 4097: desc: interrupted");
}

TEST(DateFormatTest, UsesEnglishNamesTwoDigitDayAndTwentyFourHourTime) {
  // 2026-12-09 04:05:06 UTC, a Wednesday.
  auto time = std::chrono::system_clock::from_time_t(1796789106);
  EXPECT_EQ(formatLogDate(time), "Wed Dec 09 04:05:06");
}

}  // namespace
}  // namespace brellis::platform::foundation
