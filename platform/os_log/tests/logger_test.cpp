#include "platform/os_log/logger.h"

#include <gtest/gtest.h>

namespace brellis::platform::os_log {
namespace {

TEST(RenderFormatTest, StringsArePrivateUnlessPublicAndScalarsArePublic) {
  auto r = renderFormat(
      "a %{public}s b %s c %ld d %{private}ld e %@",
      {std::string("pub"), std::string("secret"), int64_t(-3), int64_t(9), std::string("obj")});
  EXPECT_EQ(r.text, "a pub b <private> c -3 d <private> e <private>");
  EXPECT_EQ(r.unredacted, "a pub b secret c -3 d 9 e obj");
}

TEST(RenderFormatTest, SystemFormatsPrintAsTheUnifiedLogDoes) {
  EXPECT_EQ(renderFormat("connection(0x%lx)", {uint64_t(0xabc123)}).text, "connection(0xabc123)");
  EXPECT_EQ(renderFormat("Scheduling stop after %f seconds", {30.0}).text,
            "Scheduling stop after 30.000000 seconds");
  EXPECT_EQ(renderFormat("Did start advertising:%{bool}d", {true}).text,
            "Did start advertising:true");
  EXPECT_EQ(renderFormat("%{bool}d", {int64_t(0)}).text, "false");
  EXPECT_EQ(renderFormat("100%% %{public}s", {std::string("done")}).text, "100% done");
  EXPECT_EQ(renderFormat("%{public}s %{public}s", {std::string("only")}).text, "only <missing>");
  EXPECT_EQ(renderFormat("state %ld", {int64_t(5)}).text, "state 5");
}

TEST(LoggerTest, DisabledLevelsAreNotFormattedOrDeliveredAndCaptureRestores) {
  {
    ScopedLogCapture capture(LogLevel::info);
    Logger logger("Sub", "Cat");
    logger.debug("hidden %{public}s", "x");
    logger.info("shown %{public}s", "y");
    logger.fault("bad");
    auto records = capture.sink().records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "shown y");
    EXPECT_EQ(records[0].level, LogLevel::info);
    EXPECT_EQ(records[0].subsystem, "Sub");
    EXPECT_EQ(records[0].category, "Cat");
    EXPECT_EQ(records[1].level, LogLevel::fault);
    {
      ScopedLogCapture inner;
      logger.debug("inner");
      EXPECT_EQ(inner.sink().texts(), std::vector<std::string>{"inner"});
    }
    logger.info("after");
    EXPECT_TRUE(capture.sink().contains("after"));
    EXPECT_EQ(Logger::minimumLevel(), LogLevel::info);
  }
}

TEST(JournalFieldsTest, EachLevelHasItsPriorityAndTheMessageKeepsArgumentsPrivate) {
  ScopedLogCapture capture;
  Logger logger("com.velkor.brellis", "Beacon");
  const std::vector<std::pair<LogLevel, std::string>> levels = {{LogLevel::debug, "7"},
                                                                {LogLevel::info, "6"},
                                                                {LogLevel::defaultLevel, "5"},
                                                                {LogLevel::error, "3"},
                                                                {LogLevel::fault, "2"}};
  for (const auto& [level, priority] : levels) {
    logger.log(level, "%{public}s for %s, %ld", "start", "alice", int64_t{4});
  }
  auto records = capture.sink().records();
  ASSERT_EQ(records.size(), levels.size());
  for (size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(
        journalFields(records[i]),
        (std::vector<std::string>{"MESSAGE=start for <private>, 4", "PRIORITY=" + levels[i].second,
                                  "SUBSYSTEM=com.velkor.brellis", "CATEGORY=Beacon"}))
        << levelName(levels[i].first);
  }
}

}  // namespace
}  // namespace brellis::platform::os_log
