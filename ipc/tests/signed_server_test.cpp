// A client holding the production requirement against server processes signed (or not) in
// every way that matters: only the rightly signed server answers; every other one ends the
// client's pending call with the code-signing failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ipc/bundle_info.h"
#include "ipc/code_signing_requirement.h"
#include "ipc/connection.h"
#include "ipc/tests/peer_process.h"
#include "ipc/tests/xpc_ipc_test_support.h"
#include "platform/foundation/os_version.h"
#include "platform/os_log/logger.h"
#include "platform/xpc/xpc_error.h"
#include "platform/xpc/xpc_listener.h"
#include "testing/codesign/test_certificate_authority.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::ipc {
namespace {

namespace cs = brellis::testing::codesign;
using namespace testing;

constexpr const char* kServerIdentifier = "com.velkor.tarvo.daemon";
constexpr const char* kMinimumVersion = "2.1";

// Changes one byte of the peer program's usage text in `program`: the file no longer matches
// its signature, yet the program runs as before.
void tamper(const std::filesystem::path& program) {
  std::fstream file(program, std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes(std::filesystem::file_size(program), '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good());
  auto at = bytes.find(kPeerPatchableText);
  ASSERT_NE(at, std::string::npos);
  file.seekp(static_cast<std::streamoff>(at));
  file.put('I');  // "ipc-test-peer" becomes "Ipc-test-peer"
  ASSERT_TRUE(file.good());
}

// A state root with a test CA installed as anchor; server programs are signed copies of the
// peer program in <root>/bin, serving the privileged named service of the test.
class SignedServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    authority_ = new cs::TestCertificateAuthority(cs::TestCertificateAuthority::create());
  }
  static void TearDownTestSuite() {
    delete authority_;
    authority_ = nullptr;
  }
  void SetUp() override {
    authority_->installAnchor(root_.path());
    std::filesystem::create_directories(root_.path() / "bin");
    requirement_->addProductionCodeSigningRequirement(
        BundleInfo(kServerIdentifier, kMinimumVersion), std::nullopt);
  }

  std::filesystem::path copyOfPeer(const std::string& name) {
    auto path = root_.path() / "bin" / name;
    std::filesystem::copy_file(BRELLIS_IPC_PEER, path);
    return path;
  }
  std::filesystem::path signedPeer(const std::string& name, const cs::LeafProfile& profile,
                                   const std::string& identifier = kServerIdentifier,
                                   const std::string& version = kMinimumVersion) {
    auto path = copyOfPeer(name);
    cs::signExecutable(path, identifier, version, authority_->issueLeaf(profile));
    return path;
  }

  // Starts `program` serving `service`; false when it does not come up.
  bool startServer(std::unique_ptr<PeerProcess>& server, const std::filesystem::path& program,
                   const std::string& service) {
    server =
        std::make_unique<PeerProcess>(program.string(), std::vector<std::string>{"serve", service});
    return server->running() && server->readLine() == "ready";
  }

  // One echo call through a new Connection to `service`: the reply, or the error code.
  std::variant<std::string, int64_t> echoThrough(
      const std::string& service, std::shared_ptr<CodeSigningRequirement> requirement) {
    auto connection = Connection<EchoInterface>::withMachServiceName(service, kConnectionPrivileged,
                                                                     std::move(requirement));
    try {
      return run(echo(connection, "hello"));
    } catch (const platform::foundation::ErrorException& e) {
      EXPECT_EQ(e.record().domain, platform::foundation::kCocoaErrorDomain);
      return e.record().code;
    }
  }

  static cs::TestCertificateAuthority* authority_;
  brellis::testing::TemporaryStateRoot root_;
  std::shared_ptr<CodeSigningRequirement> requirement_ = std::make_shared<CodeSigningRequirement>();
};
cs::TestCertificateAuthority* SignedServerTest::authority_ = nullptr;

TEST_F(SignedServerTest, RightlySignedServerIsAcceptedAlsoAtAHigherVersion) {
  ASSERT_TRUE(platform::foundation::isMacOS13OrLater());
  struct Case {
    std::string name;
    cs::LeafProfile profile;
    std::string version;
  };
  const std::vector<Case> cases = {
      {"developer-id", cs::LeafProfile::developerId(), kMinimumVersion},
      // "10.0" >= "2.1" only when versions compare as numbers.
      {"testflight", cs::LeafProfile::testFlight(), "10.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PeerProcess> server;
    std::string service = "com.test.signed." + c.name;
    ASSERT_TRUE(
        startServer(server, signedPeer(c.name, c.profile, kServerIdentifier, c.version), service));
    auto connection = Connection<EchoInterface>::withMachServiceName(service, kConnectionPrivileged,
                                                                     requirement_);
    EXPECT_EQ(run(echo(connection, "first")), "first");
    EXPECT_EQ(run(echo(connection, "second")), "second");
    EXPECT_EQ(run(connection->processIdentifier()), server->pid());
  }
}

TEST_F(SignedServerTest, EveryOtherServerFailsThePendingCallWithTheCodeSigningError) {
  cs::LeafProfile otherTeam = cs::LeafProfile::developerId();
  otherTeam.organizationalUnit = cs::kOtherTeamIdentifier;
  struct Case {
    std::string name;
    std::function<std::filesystem::path()> make;
  };
  const std::vector<Case> cases = {
      {"unsigned", [&] { return copyOfPeer("unsigned"); }},
      {"tampered",
       [&] {
         auto path = signedPeer("tampered", cs::LeafProfile::developerId());
         tamper(path);
         return path;
       }},
      {"wrong-identifier",
       [&] {
         return signedPeer("wrong-identifier", cs::LeafProfile::developerId(), "com.velkor.tarvo");
       }},
      {"lower-version",
       [&] {
         return signedPeer("lower-version", cs::LeafProfile::developerId(), kServerIdentifier,
                           "2.0.99");
       }},
      {"wrong-ou", [&] { return signedPeer("wrong-ou", otherTeam); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PeerProcess> server;
    std::string service = "com.test.refused." + c.name;
    ASSERT_TRUE(startServer(server, c.make(), service));
    // The server itself is up and answers a client without a requirement, so the refusal
    // below is the signature's doing.
    EXPECT_EQ(echoThrough(service, nullptr), (std::variant<std::string, int64_t>("hello")));
    EXPECT_EQ(echoThrough(service, requirement_),
              (std::variant<std::string, int64_t>(kErrorCodeSigningRequirementFailure)));
  }
}

TEST_F(SignedServerTest, RefusalReachesTheDelegateOnceAndTheNextCallIsRefusedAgain) {
  class CountingDelegate : public ConnectionDelegate {
   public:
    asio::awaitable<void> connection(std::shared_ptr<AnyConnection>, std::exception_ptr) override {
      ++count;
      co_return;
    }
    std::atomic<int> count{0};
  };
  auto delegate = std::make_shared<CountingDelegate>();
  std::unique_ptr<PeerProcess> server;
  ASSERT_TRUE(startServer(server, copyOfPeer("unsigned"), "com.test.refused.again"));
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.refused.again", kConnectionPrivileged, requirement_, delegate);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(errorCodeOf([&] {
                try {
                  run(echo(connection, "x"));
                } catch (...) {
                  return std::current_exception();
                }
                return std::exception_ptr();
              }()),
              kErrorCodeSigningRequirementFailure);
    EXPECT_TRUE(eventually([&] { return delegate->count == i + 1; }));
  }
  EXPECT_TRUE(server->running());
}

TEST_F(SignedServerTest, Before13AListenerChecksEachClientAndAcceptsARightlySignedOne) {
  platform::foundation::ScopedMacOSVersionOverride before13(false);
  platform::os_log::ScopedLogCapture capture;
  PeerProcess broker(BRELLIS_IPC_PEER, {"broker", "com.test.broker"});
  ASSERT_EQ(broker.readLine(), "ready");
  auto anonymous = XpcListener::makeAnonymous();
  auto listener = Listener<EchoInterface>::withListener(std::make_shared<EchoObject>(), anonymous,
                                                        requirement_);
  run(listener->activate());
  run(registerEndpoint(Connection<EndpointBrokerInterface>::withMachServiceName(
                           "com.test.broker", kConnectionPrivileged),
                       anonymous->endpoint()));
  const std::string id = hexId(listener->id());
  // A client process that fails the requirement is refused...
  PeerProcess bare(copyOfPeer("unsigned").string(), {"client", "com.test.broker"});
  ASSERT_EQ(bare.readLine(), "endpoint ok");
  ASSERT_TRUE(bare.writeLine("echo refused"));
  EXPECT_EQ(bare.readLine(), "error " + std::to_string(kErrorConnectionInvalid));
  // ...and one signed as the requirement asks is accepted and served.
  PeerProcess client(signedPeer("client", cs::LeafProfile::developerId()).string(),
                     {"client", "com.test.broker"});
  ASSERT_EQ(client.readLine(), "endpoint ok");
  ASSERT_TRUE(client.writeLine("echo one"));
  EXPECT_EQ(client.readLine(), "ok one");

  auto texts = capture.sink().texts("Listener<EchoInterface>");
  EXPECT_EQ(countContaining(texts, "activating listener(" + id +
                                       ") with client verification only at connection time"),
            1u);
  EXPECT_EQ(countContaining(texts, "listener(" + id + ") rejected connection from process " +
                                       std::to_string(bare.pid()) + " with error: "),
            1u);
  EXPECT_EQ(countContaining(texts, "listener(" + id + ") connection accepted from process " +
                                       std::to_string(client.pid())),
            1u);
  EXPECT_EQ(countContaining(texts, "connection accepted"), 1u);
  EXPECT_EQ(run(listener->connectionCount()), 1u);
}

}  // namespace
}  // namespace brellis::ipc
