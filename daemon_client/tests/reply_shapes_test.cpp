#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "daemon_client/tarvo_daemon_connection.h"
#include "daemon_client/tarvo_daemon_wire.h"
#include "daemon_client/tests/fake_daemon_channel.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/decoding_error.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/os_log/logger.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::daemon_client {
namespace {

namespace fnd = platform::foundation;
namespace xpc = platform::xpc;
using platform::os_log::LogLevel;
using Values = std::vector<xpc::Value>;

class ReplyShapesTest : public ::testing::Test {
 protected:
  void reply(Values values) { reply_ = std::move(values); }

  template <class T>
  T run(asio::awaitable<T> op) {
    return platform::dispatch::blockOn(platform::dispatch::globalExecutor(), std::move(op));
  }
  template <class T>
  fnd::ErrorRecord failure(asio::awaitable<T> op) {
    try {
      run(std::move(op));
    } catch (...) {
      return fnd::currentExceptionRecord();
    }
    ADD_FAILURE() << "no error raised";
    return {};
  }
  // Texts and levels of the connection's own lines (category TarvoDaemonConnection).
  std::vector<std::pair<LogLevel, std::string>> lines() {
    std::vector<std::pair<LogLevel, std::string>> result;
    for (const auto& r : capture_.sink().records()) {
      if (r.category == "TarvoDaemonConnection") result.emplace_back(r.level, r.unredacted);
    }
    return result;
  }

  static xpc::Value err() { return xpc::Value::error(fnd::ErrorRecord{"D", 5, {}}); }
  static xpc::Value bytes(std::string s) {
    return xpc::Value::data(fnd::Bytes(s.begin(), s.end()));
  }

  platform::os_log::ScopedLogCapture capture_;
  Values reply_;
  std::shared_ptr<FakeDaemonChannel> channel_ = std::make_shared<FakeDaemonChannel>(
      [this](const std::string&, const Values&) { return reply_; });
  std::shared_ptr<TarvoDaemonConnection> daemon_ = TarvoDaemonConnection::makeWithChannel(channel_);
};

TEST_F(ReplyShapesTest, ValueOrErrorPrefersTheValueAndCountsEmptyAsPresent) {
  reply({bytes("v"), err()});
  EXPECT_EQ(run(daemon_->sharedSecret("a")), fnd::Bytes({'v'}));
  reply({bytes(""), xpc::Value()});
  EXPECT_TRUE(run(daemon_->sharedSecret("a")).empty());
  reply({xpc::Value(), err()});
  auto error = failure(daemon_->sharedSecret("a"));
  EXPECT_EQ(error.domain, "D");
  EXPECT_EQ(error.code, 5);
  reply({xpc::Value(), xpc::Value()});
  error = failure(daemon_->sharedSecret("a"));
  EXPECT_EQ(error.domain, "TarvoDaemonXPC.TarvoDaemonConnection.Error");
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.localizedDescription(), "An unknown error occurred");

  auto log = lines();
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[0], std::make_pair(LogLevel::debug, std::string("sharedSecret(forAccount:)")));
  EXPECT_EQ(log[1],
            std::make_pair(LogLevel::debug, std::string("sharedSecret(forAccount:): success")));
  EXPECT_EQ(log[5].first, LogLevel::error);
  EXPECT_TRUE(log[5].second.starts_with("sharedSecret(forAccount:):")) << log[5].second;
  EXPECT_TRUE(
      log[5].second.ends_with(": D 5: Error Domain=D Code=5 \"The operation couldn\u2019t be "
                              "completed. (D error 5.)\": The operation couldn\u2019t be "
                              "completed. (D error 5.)"))
      << log[5].second;
  EXPECT_EQ(log[7].first, LogLevel::error);
  EXPECT_TRUE(log[7].second.ends_with(": failed"));
  // Set A keeps the name private, set B makes it public.
  auto records = capture_.sink().records();
  EXPECT_EQ(records[1].text, "<private>: success");
}

TEST_F(ReplyShapesTest, TwoValuesNeedBothAndOneValueAloneIsUnknown) {
  reply({bytes("s"), bytes("p"), err()});
  auto pair = run(daemon_->makeEphemeralSecret("a"));
  EXPECT_EQ(pair.sharedSecret, fnd::Bytes({'s'}));
  EXPECT_EQ(pair.publicKeyData, fnd::Bytes({'p'}));
  reply({xpc::Value(), bytes("p"), xpc::Value()});
  EXPECT_EQ(failure(daemon_->makeEphemeralSecret("a")).code, 0);
  reply({bytes("s"), xpc::Value(), err()});
  EXPECT_EQ(failure(daemon_->makeEphemeralSecret("a")).domain, "D");
}

TEST_F(ReplyShapesTest, TotpLooksAtTheErrorFirstAndFailsSilentlyWithoutValues) {
  reply({bytes("s"), xpc::Value::string("c"), err()});
  EXPECT_EQ(failure(daemon_->TOTPPairingInfo("u")).domain, "D");
  capture_.sink().clear();
  reply({bytes("s"), xpc::Value(), xpc::Value()});
  EXPECT_EQ(failure(daemon_->TOTPPairingInfo("u")).code, 0);
  EXPECT_EQ(lines().size(), 1u);  // the entry line only
  reply({bytes(""), xpc::Value::string(""), xpc::Value()});
  auto info = run(daemon_->TOTPPairingInfo("u"));
  EXPECT_TRUE(info.secret.empty());
  EXPECT_EQ(info.backupCode, "");
  capture_.sink().clear();
  reply({xpc::Value(), err()});
  failure(daemon_->getDeliverablesInformation());
  auto log = lines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[1].second.starts_with("getDeliverablesInformation():327: D 5: "));
  EXPECT_EQ(capture_.sink().records().back().text.find("<private>"), std::string::npos);
}

TEST_F(ReplyShapesTest, ErrorOnlyEmptyValueOnlyAndPassThrough) {
  reply({err()});
  EXPECT_EQ(failure(daemon_->setUnlockStatus(fnd::Bytes{1})).domain, "D");
  reply({xpc::Value()});
  run(daemon_->setUnlockStatus(fnd::Bytes{1}, "acct"));
  reply({});
  capture_.sink().clear();
  run(daemon_->registerBrellisListenerEndpoint(xpc::Endpoint()));
  EXPECT_EQ(lines().size(), 2u);
  reply({xpc::Value()});
  EXPECT_EQ(failure(daemon_->brellisListenerEndpoint()).code, 0);
  capture_.sink().clear();
  reply({xpc::Value()});
  EXPECT_FALSE(run(daemon_->userElevationTimeRemaining("u")).has_value());
  reply({xpc::Value::int64(12)});
  EXPECT_EQ(*run(daemon_->monthlyUserElevationCount("u"))->asInt64(), 12);
  EXPECT_EQ(lines().size(), 2u);  // entry lines only, no success line
  reply({xpc::Value()});
  EXPECT_EQ(run(daemon_->version()), "");
  reply({xpc::Value(), xpc::Value()});
  EXPECT_TRUE(run(daemon_->identities({}, "pw")).empty());
  reply({xpc::Value::dict({}), xpc::Value()});
  EXPECT_TRUE(run(daemon_->logEntries({"a"}, std::chrono::system_clock::now())).empty());
}

TEST_F(ReplyShapesTest, NumberRepliesOfEveryNumericKindPassTheCheckAndComeBackAsSent) {
  auto description = tarvoDaemonInterfaceDescription();
  const Values numbers = {xpc::Value::real(90.5), xpc::Value::uint64(UINT64_MAX),
                          xpc::Value::boolean(true), xpc::Value::int64(-3), xpc::Value()};
  for (const char* selector :
       {"userElevationTimeRemainingFor:completion:", "monthlyUserElevationCountFor:completion:"}) {
    const auto* method = description->find(selector);
    ASSERT_NE(method, nullptr) << selector;
    for (const auto& number : numbers) {
      EXPECT_EQ(xpc::checkArguments(*method->reply, {number}), std::nullopt)
          << selector << " " << xpc::kindName(number.kind());
    }
    EXPECT_NE(xpc::checkArguments(*method->reply, {xpc::Value::string("1")}), std::nullopt);
  }
  const auto* picture =
      description->find("desktopPictureWithDisplayUUIDString:userName:completion:");
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(xpc::checkArguments(*picture->reply,
                                {xpc::Value::real(1.0), xpc::Value(), xpc::Value(), xpc::Value()}),
            std::nullopt);

  for (const auto& number : numbers) {
    reply({number});
    auto remaining = run(daemon_->userElevationTimeRemaining("u"));
    if (number.isNull()) {
      EXPECT_FALSE(remaining.has_value());
    } else {
      ASSERT_TRUE(remaining.has_value());
      EXPECT_EQ(*remaining, number) << xpc::kindName(number.kind());
    }
  }
}

TEST_F(ReplyShapesTest, EdgeInputsTravelAsGivenAndAnIdentityErrorWinsOverItsList) {
  Values sent;
  auto channel = std::make_shared<FakeDaemonChannel>([&](const std::string&, const Values& args) {
    sent = args;
    return reply_;
  });
  auto daemon = TarvoDaemonConnection::makeWithChannel(channel);
  // An empty reason is a reason (not nil), a duration of 0 is sent as 0.
  reply({xpc::Value()});
  run(daemon->grantAdminPrivilegesToUserForTime("u", 0, std::string()));
  EXPECT_EQ(sent, (Values{xpc::Value::string("u"), xpc::Value::real(0), xpc::Value::string("")}));
  // No reason is nil in its place; a negative duration is not corrected.
  run(daemon->grantAdminPrivilegesToUserForTime("u", -5, std::nullopt));
  EXPECT_EQ(sent, (Values{xpc::Value::string("u"), xpc::Value::real(-5), xpc::Value()}));
  // No issuers is an empty list; the error comes first even with a list beside it.
  reply({xpc::Value::array({bytes("c")}), err()});
  EXPECT_EQ(failure(daemon->identities({}, "pw")).domain, "D");
  EXPECT_EQ(sent, (Values{xpc::Value::array({}), xpc::Value::string("pw")}));
}

TEST_F(ReplyShapesTest, MistypedReplyElementsAreReplyErrors) {
  reply({xpc::Value::array({xpc::Value::data({}), xpc::Value::string("x")}), xpc::Value()});
  auto error = failure(daemon_->identities({}, "pw"));
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, xpc::kErrorConnectionReplyInvalid);
  reply({xpc::Value::dict({{"k", xpc::Value::array({xpc::Value::int64(1)})}}), xpc::Value()});
  EXPECT_EQ(failure(daemon_->logEntries({}, {})).code, xpc::kErrorConnectionReplyInvalid);
  reply({xpc::Value::dict({{"k", xpc::Value::string("not a list")}}), xpc::Value()});
  EXPECT_EQ(failure(daemon_->logEntries({}, {})).code, xpc::kErrorConnectionReplyInvalid);
  reply({xpc::Value::string("wrong kind"), xpc::Value()});
  EXPECT_EQ(failure(daemon_->sharedSecret("a")).code, xpc::kErrorConnectionReplyInvalid);
}

TEST_F(ReplyShapesTest, DesktopRepliesDecodeAndCloseDescriptorsOnFailure) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[1]);
  auto handle = xpc::makeSharedFd(xpc::UniqueFd(fds[0]));
  auto archive = fnd::archiveEncodable(
      WallpaperConfiguration(WallpaperConfiguration::DesktopPictureDynamicStyle::light).encode());
  reply({xpc::Value::string(""), xpc::Value::data(archive), xpc::Value::fd(handle),
         xpc::Value::string("file:///x"), err()});
  auto asset = run(daemon_->desktopAsset("uuid", "user"));
  EXPECT_EQ(asset.configuration,
            WallpaperConfiguration(WallpaperConfiguration::DesktopPictureDynamicStyle::light));
  EXPECT_EQ(asset.assetURL, "file:///x");

  // Not an archive: one line with 215, the unarchiver's error, and the descriptor closed.
  reply(
      {xpc::Value::string("p"), bytes("junk"), xpc::Value::fd(handle), xpc::Value(), xpc::Value()});
  handle.reset();
  asset = {};
  capture_.sink().clear();
  EXPECT_EQ(failure(daemon_->desktopAsset("uuid", "user")).code, fnd::kCoderReadCorruptError);
  reply_.clear();
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  auto log = lines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(
      log[1].second.starts_with("desktopAsset(displayUUIDString:userName:):215: "
                                "decoding configuration error: NSCocoaErrorDomain 4864"));

  // An archive without a root object: 208, then 215 with `unknown`.
  fnd::KeyedArchiver empty;
  reply({xpc::Value::string("p"), xpc::Value::data(empty.encodedData()), xpc::Value(), xpc::Value(),
         xpc::Value()});
  capture_.sink().clear();
  EXPECT_EQ(failure(daemon_->desktopAsset("uuid", "user")).domain,
            "TarvoDaemonXPC.TarvoDaemonConnection.Error");
  log = lines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].second,
            "desktopAsset(displayUUIDString:userName:):208: error decoding "
            "configuation, value is nil");
  EXPECT_TRUE(log[2].second.find(":215: decoding configuration error: "
                                 "TarvoDaemonXPC.TarvoDaemonConnection.Error 0: unknown: An "
                                 "unknown error occurred") != std::string::npos);

  reply({xpc::Value(), bytes("x"), xpc::Value(), xpc::Value(), xpc::Value()});
  capture_.sink().clear();
  failure(daemon_->desktopAsset("uuid", "user"));
  EXPECT_EQ(lines().back().second,
            "desktopAsset(displayUUIDString:userName:):193: missing provider and/or "
            "configurationData");
  // No provider but an error: the error as it came, with its own line.
  reply({xpc::Value(), bytes("x"), xpc::Value(), xpc::Value(), err()});
  capture_.sink().clear();
  EXPECT_EQ(failure(daemon_->desktopAsset("uuid", "user")).domain, "D");
  EXPECT_TRUE(
      lines().back().second.starts_with("desktopAsset(displayUUIDString:userName:):198: D 5: "))
      << lines().back().second;

  // Desktop picture: the number decides; a descriptor with no number is closed.
  ASSERT_EQ(pipe(fds), 0);
  close(fds[1]);
  reply({xpc::Value(), xpc::Value::fd(xpc::makeSharedFd(xpc::UniqueFd(fds[0]))),
         xpc::Value::string("u"), xpc::Value()});
  EXPECT_EQ(failure(daemon_->desktopPicture("uuid", "user")).code, 0);
  reply_.clear();
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  reply({xpc::Value::int64(2), xpc::Value(), xpc::Value(), err()});
  auto picture = run(daemon_->desktopPicture("uuid", "user"));
  EXPECT_EQ(*picture.appearance.asInt64(), 2);
  EXPECT_FALSE(picture.fileHandle.has_value());
}

}  // namespace
}  // namespace brellis::daemon_client
