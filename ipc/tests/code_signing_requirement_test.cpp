#include "ipc/code_signing_requirement.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/os_log/logger.h"
#include "testing/codesign/test_certificate_authority.h"
#include "testing/support/temporary_state_root.h"

extern char** environ;

namespace brellis::ipc {
namespace {

namespace cs = brellis::testing::codesign;
namespace security = platform::security;
using Case = CodesignSecurityPolicyError::Case;

constexpr const char* kDaemonID = "com.velkor.tarvo.daemon";

const std::string kExpectedProductionText = R"txt(// Bundle ID must match
identifier "com.velkor.tarvo.daemon"
// Version must be >= specified version
and info [CFBundleShortVersionString] >= "2.1"
// Cert must chain back to an Apple CA
and anchor apple generic
and (
    (
        // Signing cert must be for Velkor's Apple Developer account
        certificate leaf[subject.OU] = "K2V9T7Q4MX"
        and (
            (
                // The direct issuer of the cert must be Apple's "Developer ID Certification Authority".
                certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */
                // The cert must be a "Developer ID" Application Code Signing Certificate.
                and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */
            )
            or (
                // The direct issuer of the cert must be from "Apple Worldwide Developer Relations".
                certificate 1[field.1.2.840.113635.100.6.2.1] /* exists */
                // The cert must be for local development.
                and certificate leaf[field.1.2.840.113635.100.6.1.12] /* exists */
            )
        )
        // The cert must be for a Mac App Store app
        or (certificate leaf[field.1.2.840.113635.100.6.1.9] /* exists */)
        // The cert must be for a TestFlight app
        or (certificate leaf[field.1.2.840.113635.100.6.1.25.1] /* exists */)
    )
))txt";

CodesignSecurityPolicyError caught(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const CodesignSecurityPolicyError& error) {
    return error;
  }
  ADD_FAILURE() << "no CodesignSecurityPolicyError";
  return CodesignSecurityPolicyError::requirementIsNil();
}

TEST(CodeSigningRequirementTextTest, CombinedText) {
  EXPECT_EQ(combinedRequirementText({}), "");
  EXPECT_EQ(combinedRequirementText({"identifier a"}), "identifier a");
  EXPECT_EQ(combinedRequirementText({"A", "B"}), "(A) or (B)");
  EXPECT_EQ(combinedRequirementText({"A", "B", "C"}), "(A) or (B) or (C)");
}

TEST(CodeSigningRequirementTextTest, FileUrlKeepsWhatAPathKeepsAndEncodesEveryOtherByte) {
  EXPECT_EQ(fileUrlText("/a/b c/!$&'()*+,;=:@-._~Zz09"), "file:///a/b%20c/!$&'()*+,;=:@-._~Zz09");
  EXPECT_EQ(fileUrlText("/%?#[]\"<>\\^`{|}"), "file:///%25%3F%23%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D");
  EXPECT_EQ(fileUrlText("/caf\xC3\xA9\x01\x7F\xFF"), "file:///caf%C3%A9%01%7F%FF");
}

TEST(CodeSigningRequirementTextTest, ProductionTextIsExact) {
  std::string text = productionRequirementText(kDaemonID, "2.1");
  EXPECT_EQ(text, kExpectedProductionText);
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\t'), std::string::npos);
  EXPECT_NO_THROW(security::Requirement::compile(text));
  // Values are inserted as they are, empty ones too.
  EXPECT_NE(productionRequirementText("", "").find("identifier \"\"\n"), std::string::npos);
}

TEST(CodeSigningRequirementTextTest, UnsafeValuesAreRefusedAndChangeNothing) {
  CodeSigningRequirement requirement;
  requirement.addCodeSigningRequirement("identifier a");
  for (const char* bad : {"a\" or identifier \"b", "a\\", "a\nb", "a\rb", "\x7f", "\x01"}) {
    CodesignSecurityPolicyError error = caught([&] {
      requirement.addProductionCodeSigningRequirement(BundleInfo(bad, "1.0"), std::nullopt);
    });
    EXPECT_EQ(error.errorCase(), Case::externalError);
    EXPECT_EQ(error.domain(), "NSOSStatusErrorDomain");
    EXPECT_EQ(error.code(), -67052);
    EXPECT_EQ(caught([&] {
                requirement.addProductionCodeSigningRequirement(BundleInfo("a", "1"), bad);
              }).code(),
              -67052);
  }
  EXPECT_EQ(requirement.requirements(), std::vector<std::string>{"identifier a"});
  EXPECT_EQ(requirement.requirement()->text(), "identifier a");
  // Non-ASCII UTF-8 is not a control character.
  EXPECT_NO_THROW(productionRequirementText("com.velkor.\xc3\xa9", "1"));
}

TEST(CodeSigningRequirementTest, AddsGrowTheCombinedRequirement) {
  CodeSigningRequirement requirement;
  EXPECT_TRUE(requirement.requirements().empty());
  EXPECT_FALSE(requirement.requirement());
  requirement.addCodeSigningRequirement("identifier a");
  EXPECT_EQ(requirement.requirement()->text(), "identifier a");

  CodesignSecurityPolicyError error =
      caught([&] { requirement.addCodeSigningRequirement("identifier ("); });
  EXPECT_EQ(error.errorCase(), Case::externalError);
  EXPECT_EQ(error.domain(), "NSOSStatusErrorDomain");
  EXPECT_EQ(error.code(), -67052);
  EXPECT_FALSE(error.errorDescription().empty());
  EXPECT_EQ(requirement.requirements().size(), 1u);
  EXPECT_EQ(requirement.requirement()->text(), "identifier a");

  requirement.addCodeSigningRequirement("identifier b");
  EXPECT_EQ(requirement.requirement()->text(), "(identifier a) or (identifier b)");
  requirement.addProductionCodeSigningRequirement(BundleInfo(kDaemonID, "2.1"), std::nullopt);
  EXPECT_EQ(requirement.requirements().back(), kExpectedProductionText);
  EXPECT_EQ(requirement.requirement()->text(),
            "(identifier a) or (identifier b) or (" + kExpectedProductionText + ")");

  CodeSigningRequirement versioned;
  versioned.addProductionCodeSigningRequirement(BundleInfo(kDaemonID, "1.0"), "2.1");
  EXPECT_EQ(versioned.requirements().front(), kExpectedProductionText);
  CodeSigningRequirement empty;
  empty.addProductionCodeSigningRequirement(BundleInfo(kDaemonID, "9"), "");
  EXPECT_EQ(empty.requirements().front(), productionRequirementText(kDaemonID, ""));
}

TEST(CodeSigningRequirementTest, ErrorBridgingAndDescriptions) {
  auto record = CodesignSecurityPolicyError::codeFailedToSatisfyRequirements().toRecord();
  EXPECT_EQ(record.domain, "VelkorIPC.CodesignSecurityPolicyError");
  EXPECT_EQ(record.code, 3);
  EXPECT_EQ(record.localizedDescription(),
            "The operation couldn\u2019t be completed. (VelkorIPC.CodesignSecurityPolicyError "
            "error 3.)");
  EXPECT_EQ(CodesignSecurityPolicyError::externalError("D", -1, "x").toRecord().code, 0);
  EXPECT_EQ(CodesignSecurityPolicyError::requirementIsNil().toRecord().code, 1);
  EXPECT_EQ(CodesignSecurityPolicyError::codeReferenceIsNil().toRecord().code, 2);
  EXPECT_EQ(CodesignSecurityPolicyError::externalError("D", -5, "say \"hi\"").description(),
            "externalError(domain: \"D\", code: -5, description: \"say \\\"hi\\\"\")");
  EXPECT_EQ(CodesignSecurityPolicyError::codeReferenceIsNil().description(), "codeReferenceIsNil");
}

TEST(ModuleLoggerTest, SubsystemFromModuleAndFallback) {
  auto logger = moduleLogger(moduleTypeName(kModuleName, "Connection<TarvoDaemonInterface>"));
  EXPECT_EQ(logger.subsystem(), "VelkorIPC");
  EXPECT_EQ(logger.category(), "Connection<TarvoDaemonInterface>");
  EXPECT_EQ(moduleLogger({".Odd", "Odd"}).subsystem(), "VelkorIPC");
  EXPECT_EQ(moduleLogger({"", "Odd"}, "TarvoXPC").subsystem(), "TarvoXPC");
  EXPECT_EQ(moduleLogger({"TarvoDaemonXPC.X.Y", "Y"}, "TarvoXPC").subsystem(), "TarvoDaemonXPC");
  CodeSigningRequirement requirement;
  EXPECT_EQ(requirement.typeName().reflecting, "VelkorIPC.CodeSigningRequirement");
  EXPECT_EQ(requirement.typeName().describing, "CodeSigningRequirement");
}

// A state root with the test CA as anchor, and signed copies of the guest program.
class SignedPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    authority_ = new cs::TestCertificateAuthority(cs::TestCertificateAuthority::create());
  }
  static void TearDownTestSuite() { delete authority_; }
  void SetUp() override {
    authority_->installAnchor(root_);
    requirement_.addProductionCodeSigningRequirement(BundleInfo(kDaemonID, "2.1"), std::nullopt);
  }
  std::filesystem::path sign(const std::string& name, const cs::LeafProfile& profile,
                             const std::string& identifier = kDaemonID,
                             const std::string& version = "2.1") {
    std::filesystem::path path = root_ / name;
    std::filesystem::copy_file(BRELLIS_GUEST_PEER, path);
    cs::signExecutable(path, identifier, version, authority_->issueLeaf(profile));
    return path;
  }
  security::OSStatus staticStatus(const std::filesystem::path& path) {
    return security::checkStaticCodeValidity(path, *requirement_.requirement()).status;
  }

  static cs::TestCertificateAuthority* authority_;
  brellis::testing::TemporaryStateRoot stateRoot_;
  const std::filesystem::path root_ = stateRoot_.path();
  CodeSigningRequirement requirement_;
};
cs::TestCertificateAuthority* SignedPeerTest::authority_ = nullptr;

TEST_F(SignedPeerTest, ProductionTextOnEachCertificateBranch) {
  EXPECT_EQ(staticStatus(sign("developer-id", cs::LeafProfile::developerId())), 0);
  EXPECT_EQ(staticStatus(sign("development", cs::LeafProfile::development())), 0);
  EXPECT_EQ(staticStatus(sign("mac-app-store", cs::LeafProfile::macAppStore())), 0);
  EXPECT_EQ(staticStatus(sign("testflight", cs::LeafProfile::testFlight())), 0);

  const security::OSStatus refused = security::errSecCSReqFailed;
  cs::LeafProfile wrongTeam = cs::LeafProfile::developerId();
  wrongTeam.organizationalUnit = cs::kOtherTeamIdentifier;
  EXPECT_EQ(staticStatus(sign("wrong-ou", wrongTeam)), refused);
  cs::LeafProfile developmentWrongTeam = cs::LeafProfile::development();
  developmentWrongTeam.organizationalUnit = "k2v9t7q4mx";
  EXPECT_EQ(staticStatus(sign("wrong-ou-case", developmentWrongTeam)), refused);
  // The leaf kind must match its issuer: a Developer ID leaf under the WWDR issuer, and a
  // development leaf under the Developer ID issuer, are both refused.
  cs::LeafProfile crossed = cs::LeafProfile::developerId();
  crossed.issuer = cs::Issuer::wwdrCa;
  EXPECT_EQ(staticStatus(sign("crossed-1", crossed)), refused);
  crossed = cs::LeafProfile::development();
  crossed.issuer = cs::Issuer::developerIdCa;
  EXPECT_EQ(staticStatus(sign("crossed-2", crossed)), refused);
  EXPECT_EQ(staticStatus(sign("plain", cs::LeafProfile::plain())), refused);
  EXPECT_EQ(staticStatus(sign("lower", cs::LeafProfile::developerId(), kDaemonID, "2.0.99")),
            refused);
  EXPECT_EQ(staticStatus(sign("higher", cs::LeafProfile::testFlight(), kDaemonID, "10.0")), 0);
  EXPECT_EQ(staticStatus(sign("other-id", cs::LeafProfile::developerId(), "com.velkor.tarvo")),
            refused);
  std::filesystem::remove_all(root_ / "security");
  EXPECT_EQ(staticStatus(root_ / "developer-id"), refused);
}

// Runs `program`, which connects to our socket; returns the captured identity of the peer.
struct Peer {
  Peer(const std::filesystem::path& program, const std::filesystem::path& socketPath) {
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    std::string programText = program.string();
    std::string socketText = socketPath.string();
    char* argv[] = {programText.data(), socketText.data(), nullptr};
    EXPECT_EQ(::posix_spawn(&pid, programText.c_str(), nullptr, nullptr, argv, environ), 0);
    fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    char hello = 0;
    EXPECT_EQ(::read(fd, &hello, 1), 1);
    identity = security::captureGuestIdentity(fd);
    EXPECT_TRUE(identity);
  }
  ~Peer() { stop(); }
  void stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(fd);
    pid = 0;
  }
  pid_t pid = 0;
  int fd = -1;
  std::optional<security::GuestIdentity> identity;
};

TEST_F(SignedPeerTest, ShouldAcceptChecksAPeerProcess) {
  platform::os_log::ScopedLogCapture capture;
  CodeSigningRequirement fresh;
  Peer good(sign("good peer", cs::LeafProfile::developerId()), root_ / "good.sock");
  EXPECT_EQ(caught([&] { fresh.shouldAccept(*good.identity); }).errorCase(),
            Case::codeFailedToSatisfyRequirements);
  EXPECT_NO_THROW(requirement_.shouldAccept(*good.identity));
  EXPECT_TRUE(capture.sink().records().empty());

  std::filesystem::path lowerPath = sign("lower", cs::LeafProfile::developerId(), kDaemonID, "2.0");
  Peer lower(lowerPath, root_ / "lower.sock");
  EXPECT_EQ(caught([&] { requirement_.shouldAccept(*lower.identity); }).errorCase(),
            Case::codeFailedToSatisfyRequirements);
  auto records = capture.sink().records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, platform::os_log::LogLevel::error);
  EXPECT_EQ(records[0].subsystem, "VelkorIPC");
  EXPECT_EQ(records[0].category, "CodeSigningRequirement");
  EXPECT_EQ(records[0].text,
            "Denied XPC client access from code at 'file://" + root_.string() + "/lower'");

  // An unsigned peer is denied with the platform's status, also after the denial line.
  std::filesystem::path unsignedPath = root_ / "unsigned";
  std::filesystem::copy_file(BRELLIS_GUEST_PEER, unsignedPath);
  Peer bare(unsignedPath, root_ / "bare.sock");
  capture.sink().clear();
  CodesignSecurityPolicyError error = caught([&] { requirement_.shouldAccept(*bare.identity); });
  EXPECT_EQ(error.errorCase(), Case::externalError);
  EXPECT_EQ(error.domain(), "NSOSStatusErrorDomain");
  EXPECT_EQ(error.code(), -67062);
  EXPECT_EQ(capture.sink().records().size(), 1u);

  // A peer that has gone: a lookup failure, raised without a denial line.
  Peer gone(sign("gone", cs::LeafProfile::developerId()), root_ / "gone.sock");
  security::GuestIdentity goneIdentity = *gone.identity;
  gone.stop();
  capture.sink().clear();
  error = caught([&] { requirement_.shouldAccept(goneIdentity); });
  EXPECT_EQ(error.errorCase(), Case::externalError);
  EXPECT_EQ(error.code(), -67065);
  EXPECT_EQ(error.errorDescription(), "no matching code objects found");
  EXPECT_TRUE(capture.sink().records().empty());
}

TEST_F(SignedPeerTest, DenialLocationIsPercentEncoded) {
  platform::os_log::ScopedLogCapture capture;
  Peer peer(sign("odd name%", cs::LeafProfile::developerId(), "com.other"), root_ / "odd.sock");
  EXPECT_THROW(requirement_.shouldAccept(*peer.identity), CodesignSecurityPolicyError);
  ASSERT_EQ(capture.sink().records().size(), 1u);
  EXPECT_EQ(capture.sink().records()[0].text,
            "Denied XPC client access from code at 'file://" + root_.string() + "/odd%20name%25'");
}

}  // namespace
}  // namespace brellis::ipc
