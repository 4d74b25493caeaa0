#include <gtest/gtest.h>

#include "connectivity/peer_defaults.h"
#include "group_defaults/group_defaults.h"
#include "login_app/host_tests/host_test_support.h"
#include "login_app/stored_unlock_data.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/decoding_error.h"
#include "platform/foundation/defaults.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "token_host/group_defaults_writer.h"
#include "token_host/unlock_archive.h"

namespace brellis::login_app {
namespace {

using connectivity::PeerDefaults;
using group_defaults::GroupDefaults;
using Key = GroupDefaults::Key;
using platform::foundation::Bytes;
using platform::foundation::PlistDict;
using platform::foundation::PlistValue;
using test::ScopedFakeDaemon;

template <class T>
asio::awaitable<std::optional<T>> wrapped(asio::awaitable<T> op) {
  co_return co_await std::move(op);
}
asio::awaitable<bool> wrapped(asio::awaitable<void> op) {
  co_await std::move(op);
  co_return true;
}

// Runs a daemon operation to its end on the shared pool; rethrows its error.
template <class T>
auto run(asio::awaitable<T> op) {
  auto result =
      platform::dispatch::blockOn(platform::dispatch::globalExecutor(), wrapped(std::move(op)));
  if constexpr (std::is_void_v<T>) {
    return;
  } else {
    return *result;
  }
}

TEST(UnlockOperationsTest, FetchDecodesTheArchiveOrRaisesTheRightError) {
  ScopedFakeDaemon daemon;
  auto data = test::sampleUnlockData(Bytes{1, 2, 3});
  daemon->setUnlockData(token_host::archiveUnlockData(data));
  daemon->setUnlockStatusArchive(token_host::archiveUnlockStatus({true}));
  EXPECT_EQ(run(fetchUnlockData()), data);
  EXPECT_EQ(run(fetchUnlockData("alice")), data);
  EXPECT_TRUE(run(fetchUnlockStatus()));

  // Not a keyed archive: the unarchiver's own error.
  daemon->setUnlockData(Bytes{'n', 'o', 'p', 'e'});
  try {
    run(fetchUnlockData());
    FAIL();
  } catch (const platform::foundation::DecodingError& error) {
    EXPECT_EQ(error.toRecord().domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.toRecord().code, 4864);
  }
  // An archive without a root object.
  platform::foundation::KeyedArchiver archiver;
  archiver.encodeString("x", "other");
  Bytes noRoot = archiver.encodedData();
  daemon->setUnlockData(noRoot);
  daemon->setUnlockStatusArchive(noRoot);
  try {
    run(fetchUnlockData());
    FAIL();
  } catch (const UnlockDataError& error) {
    EXPECT_EQ(error.code(), UnlockDataError::Code::decodeFailed);
    EXPECT_EQ(error.description(), "decodeFailed");
  }
  EXPECT_THROW(run(fetchUnlockStatus()), UnlockDataError);
  // A record whose unlockVersion is 2.
  PlistValue tree = data.encode();
  tree.dict()->set("unlockVersion", int64_t{2});
  daemon->setUnlockData(platform::foundation::archiveEncodable(tree));
  EXPECT_THROW(run(fetchUnlockData()), platform::foundation::DecodingError);
  // The daemon's own error passes unchanged.
  daemon->setUnlockData(std::nullopt);
  try {
    run(fetchUnlockData());
    FAIL();
  } catch (const platform::foundation::ErrorException& error) {
    EXPECT_EQ(error.record().domain, "TestDaemonError");
  }
}

TEST(UnlockOperationsTest, SendStatusSendsTheArchiveAndLogsAFailure) {
  ScopedFakeDaemon daemon;
  platform::os_log::ScopedLogCapture capture;
  run(sendUnlockStatus(true));
  run(sendUnlockStatus(false));
  EXPECT_EQ(daemon->sentStatuses(), (std::vector<bool>{true, false}));
  EXPECT_TRUE(capture.sink().records().empty() || capture.sink().texts("UnlockData").empty());
  daemon->setFailSend(true);
  EXPECT_THROW(run(sendUnlockStatus(true)), platform::foundation::ErrorException);
  std::vector<platform::os_log::LogRecord> lines;
  for (const auto& record : capture.sink().records()) {
    if (record.category == "UnlockData") lines.push_back(record);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].subsystem, "Brellis");
  EXPECT_EQ(lines[0].level, platform::os_log::LogLevel::error);
  EXPECT_EQ(lines[0].text,
            "error setting unlock status: The operation couldn’t be completed. "
            "(TestDaemonError error 3.)");
}

class GroupDefaultsTest : public ::testing::Test {
 protected:
  std::optional<GroupDefaults> suite() const { return GroupDefaults::init(GroupDefaults::name); }
  brellis::testing::TemporaryStateRoot root_;
};

TEST_F(GroupDefaultsTest, WriterThenPeersGiveBackAnEqualRecord) {
  auto data = test::sampleUnlockData(Bytes{0x30, 1});
  PeerDefaults::makePeer("stale", "ContainerPeer");
  token_host::setGroupDefaults(data);
  auto defaults = suite();
  ASSERT_TRUE(defaults.has_value());
  EXPECT_FALSE(defaults->object(Key::containerPeer).has_value());
  EXPECT_FALSE(defaults->object(Key::driverPeer).has_value());
  EXPECT_EQ(defaults->data(Key::certificate), (Bytes{0x30, 1}));
  EXPECT_EQ(defaults->object(Key::requirePIN), PlistValue(false));
  EXPECT_EQ(defaults->object(Key::enableUnlockForLogin), PlistValue(true));
  EXPECT_EQ(defaults->object(Key::unlockVersion), PlistValue(int64_t{1}));
  ASSERT_TRUE(defaults->data(Key::pairingIdentities).has_value());  // the data form
  // Without the peers there is no stored record.
  EXPECT_FALSE(storedUnlockData(defaults).has_value());
  PeerDefaults::makePeer(data.containerID(), "ContainerPeer");
  EXPECT_FALSE(storedUnlockData(defaults).has_value());
  PeerDefaults::makePeer(data.driverID(), "DriverPeer");
  auto stored = storedUnlockData(defaults);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, data);
  EXPECT_FALSE(storedUnlockData(std::nullopt).has_value());

  // A stored version other than 1 reads as undefined and so differs.
  defaults->set(int64_t{7}, Key::unlockVersion);
  stored = storedUnlockData(defaults);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->unlockVersion(), connectivity_protocol::UnlockVersion::undefined);
  EXPECT_NE(*stored, data);

  token_host::removeGroupDefaults();
  EXPECT_FALSE(std::filesystem::exists(platform::foundation::Defaults::directory() /
                                       "group.com.velkor.tarvo.plist"));
}

TEST_F(GroupDefaultsTest, SetPairingIdentitiesNeedsAllThreeValues) {
  try {
    token_host::setPairingIdentities("PHONE-1", "Phone", std::nullopt);
    FAIL();
  } catch (const platform::foundation::ErrorException& error) {
    EXPECT_TRUE(platform::crypto_token_kit::isTKError(
        error.record(), platform::crypto_token_kit::TKErrorCode::badParameter));
  }
  EXPECT_FALSE(suite()->object(Key::pairingIdentities).has_value());
  token_host::setPairingIdentities("PHONE-1", "Phone", Bytes{5});
  auto identities = PeerDefaults::pairingIdentities();
  ASSERT_EQ(identities.size(), 1u);
  EXPECT_EQ(identities[0].identifier(), "PHONE-1");
  EXPECT_TRUE(identities[0].publicKey().empty());
}

}  // namespace
}  // namespace brellis::login_app
