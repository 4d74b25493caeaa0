// The fault matrix: every process of the road real (brellis, the test daemon signed by a test
// authority the state root trusts, the simulated phone, pkcs11-tool loading the PKCS#11 module
// and the token plug-in, the beacon client) while the daemon is refused, killed or down. Each
// case asserts that nothing is lost (the next operation succeeds, signatures verify with openssl)
// and that no refused peer is let in (it receives no call, the phone no request).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "connectivity/pairing_identity.h"
#include "testing/pkcs11_client/phone_fixture.h"
#include "testing/support/wait_until.h"
#include "token_host/unlock_archive.h"
#include "token_host/unlock_data.h"

namespace brellis::testing {
namespace {

namespace fs = std::filesystem;
using platform::crypto_token_kit::test_support::makeTestCertificate;
using platform::crypto_token_kit::test_support::TestKeyKind;
using platform::foundation::Bytes;

constexpr const char* kDisabling = "Disabling Velkor Unlock";
constexpr const char* kRegister = "registerBrellisListenerEndpoint:completion:";
constexpr const char* kSharedSecret = "sharedSecretForAccount:completion:";
constexpr const char* kUnlockData = "unlockDataWithCompletion:";
constexpr const char* kContainer = "6E3C1F0A-6F43-4A8B-9C39-1D2A3B4C5D6E";
// A hung party is ended by runClient at this limit and shows as status -1.
constexpr auto kLimit = std::chrono::seconds(60);
// The programs run to their end log every level to stderr, where the cases read them.
const std::vector<std::string> kLogToStderr{"BRELLIS_LOG_STDERR=1", "BRELLIS_LOG_LEVEL=debug"};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t count(const std::vector<std::string>& calls, const std::string& selector) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), selector));
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// The parties of the road in one state root: the daemon serves the unlock data of the paired
// phone and status enabled, a window-server session exists, and brellis logs to stderr.
class FaultMatrixTest : public ::testing::Test {
 protected:
  FaultMatrixTest()
      : certificate_(makeTestCertificate(TestKeyKind::p256, "Brellis fault matrix")) {}

  // A fresh state root with its parties (the previous one, if any, removed first).
  void start(PhoneFixture::DaemonSigning signing = PhoneFixture::DaemonSigning::valid) {
    fixture_.reset();
    fixture_ = std::make_unique<PhoneFixture>(certificate_, PhoneFixture::Settings{});
    const fs::path data = root() / "unlock-data";
    const fs::path status = root() / "unlock-status";
    writeBytes(data, token_host::archiveUnlockData(token_host::UnlockData(
                         certificate_.der, false, kContainer, "BrellisToken",
                         {connectivity::PairingIdentity(
                             "PHONE-1", "Phone", Bytes{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}, {})},
                         connectivity_protocol::UnlockVersion::unlock_1_2_0)));
    writeBytes(status, token_host::archiveUnlockStatus({true}));
    fs::create_directories(root() / "window_server");
    std::ofstream(root() / "window_server" / "session") << "\n";
    std::string why;
    ASSERT_TRUE(fixture_->start(
        &why, {signing, {"--unlock-data", data.string(), "--unlock-status", status.string()}}))
        << why;
  }

  const fs::path& root() const { return fixture_->root(); }
  void setScript(const nlohmann::json& script) {
    std::ofstream(root() / "test_daemon" / "script.json", std::ios::trunc) << script.dump();
  }
  bool daemonCalled(const std::string& selector, size_t times = 1) const {
    return waitUntil([&] { return count(fixture_->daemonCalls(), selector) >= times; },
                     std::chrono::seconds(30), std::chrono::milliseconds(5));
  }

  // A signature of `message` through pkcs11-tool; verified with openssl when it succeeds.
  ClientRun sign(const std::string& name, bool* verified = nullptr) {
    auto message = fixture_->writeFile(name, "a message signed during the " + name + " case");
    auto signature = root() / (name + ".sig");
    auto run =
        fixture_->pkcs11Tool({"--sign", "-m", "ECDSA-SHA256", "--signature-format", "openssl",
                              "--id", "5fc100", "--input-file", message.string(), "--output-file",
                              signature.string(), "--login", "--pin", PhoneFixture::kPin});
    if (verified) {
      *verified = run.status == 0 &&
                  openssl({"dgst", "-sha256", "-verify", fixture_->publicKeyPEM().string(),
                           "-signature", signature.string(), message.string()});
    }
    return run;
  }
  ClientRun brellisToItsEnd() { return runClient(BRELLIS_PROGRAM, {}, kLimit, kLogToStderr); }

  platform::crypto_token_kit::test_support::TestCertificate certificate_;
  std::unique_ptr<PhoneFixture> fixture_;
};

TEST_F(FaultMatrixTest, UnsignedTamperedAndOtherIdentifierDaemonsAreRefusedByBrellisAndThePlugin) {
  using Signing = PhoneFixture::DaemonSigning;
  for (Signing signing : {Signing::none, Signing::tampered, Signing::otherIdentifier}) {
    SCOPED_TRACE(static_cast<int>(signing));
    start(signing);
    if (HasFatalFailure()) return;

    // brellis: the launch check fails, the program ends with status 0 and registers nothing.
    auto program = brellisToItsEnd();
    EXPECT_EQ(program.status, 0) << program.err;
    EXPECT_TRUE(contains(program.err, kDisabling)) << program.err;

    // The plug-in: the signature fails and the phone is asked nothing.
    auto signature = sign("refused");
    EXPECT_NE(signature.status, 0);
    EXPECT_NE(signature.status, -1) << "pkcs11-tool hung";
    EXPECT_EQ(fixture_->requestsSeen(), 0u);

    // The refused daemon received no call at all: no data asked of it, no endpoint handed to it.
    EXPECT_EQ(fixture_->daemonCalls(), std::vector<std::string>{});
  }
}

TEST_F(FaultMatrixTest, DaemonKilledDuringAKeyOperationAndRestarted) {
  start();
  if (HasFatalFailure()) return;
  bool verified = false;
  // Before the fault: the road works (the same parties that the refusals above kept out).
  auto before = sign("before", &verified);
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_TRUE(verified);
  ASSERT_EQ(fixture_->requestsSeen(), 1u);

  // The daemon holds the shared-secret call and is killed while the operation waits on it, then
  // started again. The daemon connection sends the call again once the daemon is back: the
  // operation that was under way succeeds, with one request to the phone.
  setScript({{kSharedSecret, {{"delayMs", 600000}}}});
  auto during = std::async(std::launch::async, [&] {
    bool duringVerified = false;
    auto run = sign("during", &duringVerified);
    return std::make_pair(run, duringVerified);
  });
  ASSERT_TRUE(daemonCalled(kSharedSecret, 2));
  EXPECT_EQ(fixture_->requestsSeen(), 1u);
  fixture_->killDaemon();
  setScript(nlohmann::json::object());
  ASSERT_TRUE(fixture_->restartDaemon());
  auto [interrupted, interruptedVerified] = during.get();
  EXPECT_EQ(interrupted.status, 0) << interrupted.err;
  EXPECT_TRUE(interruptedVerified);
  EXPECT_EQ(fixture_->requestsSeen(), 2u);

  // The next operation succeeds as well.
  auto after = sign("after", &verified);
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_TRUE(verified);
  EXPECT_EQ(fixture_->requestsSeen(), 3u);
}

// A brellis process that may run on (a passed launch check serves until stopped); stopped with
// SIGTERM at the end when still running.
class Brellis {
 public:
  Brellis() : pid_(startProgram(BRELLIS_PROGRAM, {})) {}
  ~Brellis() {
    if (pid_ > 0 && !exited()) {
      ::kill(pid_, SIGTERM);
      waitUntil([&] { return exited(); }, std::chrono::seconds(30));
    }
  }
  bool exited() {
    if (status_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_.has_value();
  }
  std::optional<int> status() const { return status_; }

 private:
  pid_t pid_;
  std::optional<int> status_;
};

TEST_F(FaultMatrixTest, DaemonKilledDuringTheLaunchCheckAndRestarted) {
  start();
  if (HasFatalFailure()) return;
  setScript({{kUnlockData, {{"delayMs", 600000}}}});
  {
    Brellis program;
    ASSERT_TRUE(daemonCalled(kUnlockData));
    fixture_->killDaemon();
    setScript(nlohmann::json::object());
    ASSERT_TRUE(fixture_->restartDaemon());
    // The check that lost its daemon fails: the program ends with status 0 and registers nothing,
    // also not with the restarted daemon.
    ASSERT_TRUE(waitUntil([&] { return program.exited(); }, kLimit, std::chrono::milliseconds(10)))
        << "brellis hung";
    EXPECT_EQ(program.status(), 0);
    EXPECT_EQ(count(fixture_->daemonCalls(), kRegister), 0u);
  }
  // A new run passes against the restarted daemon and serves.
  Brellis program;
  EXPECT_TRUE(daemonCalled(kRegister));
  EXPECT_FALSE(program.exited());
}

TEST_F(FaultMatrixTest, BeaconClientWhileTheDaemonIsDown) {
  start();
  if (HasFatalFailure()) return;
  Brellis program;
  ASSERT_TRUE(daemonCalled(kRegister));
  const auto stop = [] {
    return runClient(BRELLIS_BEACON_CLIENT, {"stop", "--timeout", "20"}, kLimit, kLogToStderr);
  };
  auto served = stop();
  ASSERT_EQ(served.status, 0) << served.err;

  // The endpoint is had from the daemon: with the daemon down the client fails at once.
  fixture_->killDaemon();
  auto down = stop();
  EXPECT_EQ(down.status, 1) << down.err;
  EXPECT_EQ(down.out, "");

  // Restarted: brellis registers its endpoint again and the client is answered.
  ASSERT_TRUE(fixture_->restartDaemon());
  ASSERT_TRUE(daemonCalled(kRegister, 2));
  auto up = stop();
  EXPECT_EQ(up.status, 0) << up.err;
  EXPECT_EQ(up.out, "{\"operation\":\"stop\",\"reply\":\"success\"}\n");
  EXPECT_FALSE(program.exited());
}

}  // namespace
}  // namespace brellis::testing
