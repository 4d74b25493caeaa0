#include "token_extension/token_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "persistent_token/token.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/tk_token_session.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::token_extension {
namespace {

namespace ctk = platform::crypto_token_kit;

std::string logFileTail(std::uintmax_t from) {
  std::ifstream in("/tmp/velkor_brellis.log", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return from <= text.size() ? text.substr(from) : text;
}

std::uintmax_t logFileSize() {
  std::error_code error;
  auto size = std::filesystem::file_size("/tmp/velkor_brellis.log", error);
  return error ? 0 : size;
}

TEST(TokenDriverTest, MakesTokensForConfigurationsAndRefusesSmartCards) {
  brellis::testing::TemporaryStateRoot root;
  platform::os_log::ScopedLogCapture capture;
  ASSERT_TRUE(
      ctk::TKTokenDriverConfiguration::registerDriverClass("com.velkor.tarvo.brellis.token"));
  auto configuration = ctk::TKTokenDriverConfiguration::driverConfigurations()
                           .at("com.velkor.tarvo.brellis.token")
                           .addTokenConfigurationForTokenInstanceID("UnlockToken");
  auto before = logFileSize();

  auto driver = std::make_shared<TokenDriver>();
  auto token = driver->tokenForConfiguration(configuration);
  ASSERT_TRUE(token);
  ASSERT_NE(std::dynamic_pointer_cast<persistent_token::Token>(*token), nullptr);
  EXPECT_EQ((*token)->instanceID(), "UnlockToken");
  EXPECT_EQ((*token)->tokenDriver(), driver);
  auto session = (*token)->createSession();
  ASSERT_TRUE(session);
  EXPECT_EQ((*session)->token(), *token);

  auto card = driver->createTokenForSmartCard(std::make_shared<ctk::TKSmartCard>("Reader 0"),
                                              platform::foundation::Bytes{0xA0, 0x00});
  ASSERT_FALSE(card);
  EXPECT_EQ(card.error(), ctk::tkErrorRecord(ctk::TKErrorCode::notImplemented));
  EXPECT_TRUE(card.error().userInfo.empty());

  // The driver's lines: unified log under the fallback subsystem, and the shared file.
  std::vector<std::pair<std::string, std::string>> driverLines;
  for (const auto& record : capture.sink().records()) {
    if (record.category == "TokenDriver") driverLines.emplace_back(record.subsystem, record.text);
  }
  using Line = std::pair<std::string, std::string>;
  EXPECT_EQ(
      driverLines,
      (std::vector<Line>{
          {"BrellisToken", "System entered TokenDriver"},
          {"BrellisToken", "System entered TokenDriver via physical smart card entry point"}}));
  std::string written = logFileTail(before);
  EXPECT_NE(written.find("System entered TokenDriver"), std::string::npos) << written;
  EXPECT_NE(written.find("via physical smart card entry point"), std::string::npos);
  // The token and its session log to the unified log only.
  EXPECT_TRUE(capture.sink().contains("Initializing TokenSession"));
  EXPECT_EQ(written.find("Initializing TokenSession"), std::string::npos);
}

}  // namespace
}  // namespace brellis::token_extension
