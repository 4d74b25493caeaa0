#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "daemon_client/tarvo_daemon_connection.h"
#include "daemon_client/tarvo_daemon_interface.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/task.h"
#include "platform/xpc/xpc_listener.h"
#include "testing/codesign/test_certificate_authority.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"
#include "testing/test_daemon/test_daemon.h"

namespace brellis::daemon_client {
namespace {

namespace dispatch = platform::dispatch;
namespace fnd = platform::foundation;
namespace xpc = platform::xpc;
using json = nlohmann::json;
using namespace std::chrono_literals;
using brellis::testing::TestDaemon;

constexpr const char* kDaemonIdentifier = "com.velkor.tarvo.daemon";

std::string hex(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Sample arguments: distinct per operation and position, so order mistakes show.
std::string text(Operation op, size_t index) {
  return std::string(descriptor(op).signature) + "#" + std::to_string(index);
}
xpc::Endpoint& sampleEndpoint() {
  static auto listener = [] {
    auto l = xpc::XpcListener::makeAnonymous();
    l->activate();
    return l;
  }();
  static xpc::Endpoint endpoint = listener->endpoint();
  return endpoint;
}
const Date kSampleDate = Date(std::chrono::seconds(978307200 + 100));

template <class T>
T sample([[maybe_unused]] Operation op, [[maybe_unused]] size_t index) {
  if constexpr (std::is_same_v<T, std::string>) {
    return text(op, index);
  } else if constexpr (std::is_same_v<T, Bytes>) {
    auto t = text(op, index);
    return Bytes(t.begin(), t.end());
  } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
    return std::nullopt;
  } else if constexpr (std::is_same_v<T, double>) {
    return -2.5;
  } else if constexpr (std::is_same_v<T, Endpoint>) {
    return sampleEndpoint();
  } else if constexpr (std::is_same_v<T, Date>) {
    return kSampleDate;
  } else if constexpr (std::is_same_v<T, std::vector<Bytes>>) {
    return {sample<Bytes>(op, index), Bytes{}};
  } else {
    static_assert(std::is_same_v<T, std::vector<std::string>>);
    return {text(op, index), std::string()};
  }
}

// What the daemon must record for the same arguments, derived from the table's kinds alone.
json expectedArgument(Operation op, size_t index, WireKind kind) {
  switch (kind) {
    case WireKind::string:
      return {{"string", text(op, index)}};
    case WireKind::bytes:
      return {{"data", hex(text(op, index))}};
    case WireKind::optionalString:
      return nullptr;
    case WireKind::float64:
      return {{"real", -2.5}};
    case WireKind::endpoint:
      return {{"endpoint", true}};
    case WireKind::date:
      return {{"date", 100.0}};
    case WireKind::bytesList:
      return {{"array", json::array({{{"data", hex(text(op, index))}}, {{"data", ""}}})}};
    case WireKind::stringList:
      return {{"array", json::array({{{"string", text(op, index)}}, {{"string", ""}}})}};
    default:
      return "unexpected kind";
  }
}

template <class R, class... P, size_t... I>
bool invokeWith(TarvoDaemonConnection& d, [[maybe_unused]] Operation op,
                asio::awaitable<R> (TarvoDaemonConnection::*method)(P...),
                std::index_sequence<I...>) {
  try {
    dispatch::blockOn(dispatch::globalExecutor(), (d.*method)(sample<std::decay_t<P>>(op, I)...));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
template <class R, class... P>
bool invokeWith(TarvoDaemonConnection& d, [[maybe_unused]] Operation op,
                asio::awaitable<R> (TarvoDaemonConnection::*method)(P...)) {
  return invokeWith(d, op, method, std::index_sequence_for<P...>{});
}

const std::vector<std::pair<Operation, std::function<bool(TarvoDaemonConnection&)>>>& invokers() {
  static const std::vector<std::pair<Operation, std::function<bool(TarvoDaemonConnection&)>>>
      table = {
          {Operation::publicKeyData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::publicKeyData,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::publicKeyData));
           }},
          {Operation::setExternalPublicKey,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setExternalPublicKey,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes, std::string)>(
                     &TarvoDaemonConnection::setExternalPublicKey));
           }},
          {Operation::sharedSecret,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::sharedSecret,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::sharedSecret));
           }},
          {Operation::makeEphemeralSecret,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::makeEphemeralSecret,
                 static_cast<asio::awaitable<EphemeralSecret> (TarvoDaemonConnection::*)(
                     std::string)>(&TarvoDaemonConnection::makeEphemeralSecret));
           }},
          {Operation::setLoginPairingIdentifier,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setLoginPairingIdentifier,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                     std::string, std::string)>(&TarvoDaemonConnection::setLoginPairingIdentifier));
           }},
          {Operation::loginPairingIdentifier,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::loginPairingIdentifier,
                 static_cast<asio::awaitable<std::string> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::loginPairingIdentifier));
           }},
          {Operation::setExternalPairingIdentifier,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::setExternalPairingIdentifier,
                               static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                                   std::string, std::string)>(
                                   &TarvoDaemonConnection::setExternalPairingIdentifier));
           }},
          {Operation::externalPairingIdentifier,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::externalPairingIdentifier,
                 static_cast<asio::awaitable<std::string> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::externalPairingIdentifier));
           }},
          {Operation::setExternalPairingSaltData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setExternalPairingSaltData,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes, std::string)>(
                     &TarvoDaemonConnection::setExternalPairingSaltData));
           }},
          {Operation::externalPairingSaltData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::externalPairingSaltData,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::externalPairingSaltData));
           }},
          {Operation::setMode,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::setMode,
                               static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                                   std::string, std::string)>(&TarvoDaemonConnection::setMode));
           }},
          {Operation::mode,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::mode,
                 static_cast<asio::awaitable<std::string> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::mode));
           }},
          {Operation::setEncryptedPasswordData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setEncryptedPasswordData,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes, std::string)>(
                     &TarvoDaemonConnection::setEncryptedPasswordData));
           }},
          {Operation::encryptedPasswordData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::encryptedPasswordData,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::encryptedPasswordData));
           }},
          {Operation::setEmphemeralPublicKeyData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setEmphemeralPublicKeyData,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes, std::string)>(
                     &TarvoDaemonConnection::setEmphemeralPublicKeyData));
           }},
          {Operation::emphemeralPublicKeyData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::emphemeralPublicKeyData,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::emphemeralPublicKeyData));
           }},
          {Operation::unpair,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::unpair,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::unpair));
           }},
          {Operation::smartCardPair,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::smartCardPair,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                     std::string, std::string)>(&TarvoDaemonConnection::smartCardPair));
           }},
          {Operation::smartCardUnpair,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::smartCardUnpair,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                     std::string, std::string)>(&TarvoDaemonConnection::smartCardUnpair));
           }},
          {Operation::unlockDataForAccount,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::unlockDataForAccount,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::unlockData));
           }},
          {Operation::setUnlockDataForAccount,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setUnlockDataForAccount,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes, std::string)>(
                     &TarvoDaemonConnection::setUnlockData));
           }},
          {Operation::unlockStatusForAccount,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::unlockStatusForAccount,
                 static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::unlockStatus));
           }},
          {Operation::setUnlockStatusForAccount,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setUnlockStatusForAccount,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes, std::string)>(
                     &TarvoDaemonConnection::setUnlockStatus));
           }},
          {Operation::unlockData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::unlockData,
                               static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)()>(
                                   &TarvoDaemonConnection::unlockData));
           }},
          {Operation::unlockStatus,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::unlockStatus,
                               static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)()>(
                                   &TarvoDaemonConnection::unlockStatus));
           }},
          {Operation::setUnlockStatus,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::setUnlockStatus,
                               static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Bytes)>(
                                   &TarvoDaemonConnection::setUnlockStatus));
           }},
          {Operation::registerBrellisListenerEndpoint,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::registerBrellisListenerEndpoint,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(Endpoint)>(
                     &TarvoDaemonConnection::registerBrellisListenerEndpoint));
           }},
          {Operation::brellisListenerEndpoint,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::brellisListenerEndpoint,
                               static_cast<asio::awaitable<Endpoint> (TarvoDaemonConnection::*)()>(
                                   &TarvoDaemonConnection::brellisListenerEndpoint));
           }},
          {Operation::TOTPPairingInfo,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::TOTPPairingInfo,
                 static_cast<asio::awaitable<TOTPPairingInformation> (TarvoDaemonConnection::*)(
                     std::string)>(&TarvoDaemonConnection::TOTPPairingInfo));
           }},
          {Operation::setTOTPPairingInfo,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setTOTPPairingInfo,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                     Bytes, std::string, std::string)>(&TarvoDaemonConnection::setTOTPPairingInfo));
           }},
          {Operation::deleteTOTPPairingInfo,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::deleteTOTPPairingInfo,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::deleteTOTPPairingInfo));
           }},
          {Operation::incrementUnsentOfflineMFAEvents,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::incrementUnsentOfflineMFAEvents,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::incrementUnsentOfflineMFAEvents));
           }},
          {Operation::grantAdminPrivilegesToUserForTime,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::grantAdminPrivilegesToUserForTime,
                               static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                                   std::string, double, std::optional<std::string>)>(
                                   &TarvoDaemonConnection::grantAdminPrivilegesToUserForTime));
           }},
          {Operation::revokeAdminPrivileges,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::revokeAdminPrivileges,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(std::string)>(
                     &TarvoDaemonConnection::revokeAdminPrivileges));
           }},
          {Operation::userElevationTimeRemaining,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::userElevationTimeRemaining,
                 static_cast<asio::awaitable<std::optional<Number>> (TarvoDaemonConnection::*)(
                     std::string)>(&TarvoDaemonConnection::userElevationTimeRemaining));
           }},
          {Operation::monthlyUserElevationCount,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::monthlyUserElevationCount,
                 static_cast<asio::awaitable<std::optional<Number>> (TarvoDaemonConnection::*)(
                     std::string)>(&TarvoDaemonConnection::monthlyUserElevationCount));
           }},
          {Operation::desktopPicture,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::desktopPicture,
                 static_cast<asio::awaitable<DesktopPicture> (TarvoDaemonConnection::*)(
                     std::string, std::string)>(&TarvoDaemonConnection::desktopPicture));
           }},
          {Operation::desktopAsset,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::desktopAsset,
                 static_cast<asio::awaitable<DesktopAsset> (TarvoDaemonConnection::*)(
                     std::string, std::string)>(&TarvoDaemonConnection::desktopAsset));
           }},
          {Operation::version,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::version,
                 static_cast<asio::awaitable<std::string> (TarvoDaemonConnection::*)()>(
                     &TarvoDaemonConnection::version));
           }},
          {Operation::data,
           [](TarvoDaemonConnection& d) {
             return invokeWith(d, Operation::data,
                               static_cast<asio::awaitable<Bytes> (TarvoDaemonConnection::*)(
                                   std::string, std::string)>(&TarvoDaemonConnection::data));
           }},
          {Operation::setData,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::setData,
                 static_cast<asio::awaitable<void> (TarvoDaemonConnection::*)(
                     Bytes, std::string, std::string)>(&TarvoDaemonConnection::setData));
           }},
          {Operation::identities,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::identities,
                 static_cast<asio::awaitable<std::vector<Bytes>> (TarvoDaemonConnection::*)(
                     std::vector<Bytes>, std::string)>(&TarvoDaemonConnection::identities));
           }},
          {Operation::logEntries,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::logEntries,
                 static_cast<asio::awaitable<StringListsDictionary> (TarvoDaemonConnection::*)(
                     std::vector<std::string>, Date)>(&TarvoDaemonConnection::logEntries));
           }},
          {Operation::getDeliverablesInformation,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::getDeliverablesInformation,
                 static_cast<asio::awaitable<std::string> (TarvoDaemonConnection::*)()>(
                     &TarvoDaemonConnection::getDeliverablesInformation));
           }},
          {Operation::getUserElevationReasonsLog,
           [](TarvoDaemonConnection& d) {
             return invokeWith(
                 d, Operation::getUserElevationReasonsLog,
                 static_cast<asio::awaitable<std::string> (TarvoDaemonConnection::*)()>(
                     &TarvoDaemonConnection::getUserElevationReasonsLog));
           }},
      };
  return table;
}

// A state root with a test CA as anchor, and a signed copy of the test daemon program in it.
class DaemonProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto ca = brellis::testing::codesign::TestCertificateAuthority::create();
    ca.installAnchor(root_.path());
    program_ = root_.path() / "bin" / "brellis-test-daemon";
    std::filesystem::create_directories(program_.parent_path());
    std::filesystem::copy_file(BRELLIS_TEST_DAEMON, program_);
    brellis::testing::codesign::signExecutable(
        program_, kDaemonIdentifier, "1.0",
        ca.issueLeaf(brellis::testing::codesign::LeafProfile::developerId()));
    stateDirectory_ = TestDaemon::defaultStateDirectory();
    std::filesystem::create_directories(stateDirectory_);
    TarvoDaemonConnection::Options options;
    options.clock = clock_;
    daemon_ = TarvoDaemonConnection::make(options);
  }
  void TearDown() override { stopDaemon(); }

  void startDaemon() {
    std::filesystem::remove(stateDirectory_ / "ready");
    pid_ = brellis::testing::startProgram(program_.string(), {});
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(brellis::testing::waitUntil(
        [&] { return std::filesystem::exists(stateDirectory_ / "ready"); }, 10s, 10ms));
  }
  void stopDaemon(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    brellis::testing::waitProgram(pid_);
    pid_ = -1;
  }
  size_t countCalls(std::string_view selector) {
    size_t n = 0;
    for (const auto& call : TestDaemon::readCalls(stateDirectory_))
      n += call["selector"] == selector;
    return n;
  }
  bool waitForCalls(std::string_view selector, size_t n) {
    return brellis::testing::waitUntil([&] { return countCalls(selector) >= n; }, 10s, 10ms);
  }

  brellis::testing::TemporaryStateRoot root_;
  std::filesystem::path program_;
  std::filesystem::path stateDirectory_;
  int pid_ = -1;
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  std::shared_ptr<TarvoDaemonConnection> daemon_;
};

TEST_F(DaemonProcessTest, EverySelectorReachesTheDaemonWithItsArgumentsInOrder) {
  startDaemon();
  ASSERT_EQ(invokers().size(), kOperationCount);
  for (const auto& [op, invoke] : invokers()) {
    bool ok = invoke(*daemon_);
    EXPECT_TRUE(ok) << descriptor(op).signature;
  }
  auto calls = TestDaemon::readCalls(stateDirectory_);
  ASSERT_EQ(calls.size(), kOperationCount);
  for (size_t i = 0; i < kOperationCount; ++i) {
    const auto& row = operations()[i];
    EXPECT_EQ(calls[i]["selector"], row.selector);
    json expected = json::array();
    for (size_t a = 0; a < row.arguments.count; ++a) {
      expected.push_back(expectedArgument(row.operation, a, row.arguments[a]));
    }
    EXPECT_EQ(calls[i]["arguments"], expected) << row.selector;
  }
}

TEST_F(DaemonProcessTest, DaemonKilledWithThreeCallsInFlightThenRestarted) {
  startDaemon();
  dispatch::blockOn(dispatch::globalExecutor(),
                    daemon_->registerBrellisListenerEndpoint(sampleEndpoint()));
  TestDaemon::writeScript(stateDirectory_, {{"unlockDataWithCompletion:", {{"delayMs", 600000}}}});
  std::vector<std::future<Bytes>> calls;
  for (int i = 0; i < 3; ++i) {
    calls.push_back(
        asio::co_spawn(dispatch::globalExecutor(), daemon_->unlockData(), asio::use_future));
  }
  ASSERT_TRUE(waitForCalls("unlockDataWithCompletion:", 3));
  stopDaemon(SIGKILL);
  for (auto& call : calls) {
    ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
    EXPECT_THROW(call.get(), fnd::ErrorException);
  }
  // One notification: one re-registration scheduled, waiting 1 s.
  ASSERT_TRUE(clock_->waitForSleeps(1));
  // The other two failures and the connection's report of the loss come from the socket's end
  // on other threads, with no event of their own: only time can show no second wait follows.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(clock_->requestedSleeps(), (std::vector<dispatch::Clock::Duration>{1s}));

  TestDaemon::writeScript(stateDirectory_, json::object());
  startDaemon();
  EXPECT_EQ(dispatch::blockOn(dispatch::globalExecutor(), daemon_->version()),
            "versionWithCompletion:");
  clock_->advance(1s);
  EXPECT_TRUE(waitForCalls("registerBrellisListenerEndpoint:completion:", 2));
}

TEST_F(DaemonProcessTest, WhileTheDaemonIsDownRegistrationBacksOffAndReachesTheRestartedOne) {
  startDaemon();
  dispatch::blockOn(dispatch::globalExecutor(),
                    daemon_->registerBrellisListenerEndpoint(sampleEndpoint()));
  stopDaemon(SIGKILL);
  const std::vector<std::chrono::seconds> expected = {1s, 2s, 4s, 8s, 16s, 32s, 64s, 60s, 60s};
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(clock_->waitForSleeps(i + 1)) << i;
    // A late report of the loss comes from the connection's own threads with no event to wait
    // for: only time can show it did not reset the wait.
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(clock_->requestedSleeps().size(), i + 1);
    EXPECT_EQ(clock_->requestedSleeps()[i], expected[i]);
    clock_->advance(expected[i]);
  }
  ASSERT_TRUE(clock_->waitForSleeps(expected.size() + 1));
  startDaemon();
  clock_->advance(60s);
  EXPECT_TRUE(waitForCalls("registerBrellisListenerEndpoint:completion:", 2));
}

}  // namespace
}  // namespace brellis::daemon_client
