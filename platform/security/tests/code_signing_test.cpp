#include "platform/security/code_signing.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <tuple>

#include "platform/foundation/plist_codec.h"
#include "platform/security/tests/signing_fixture.h"

extern char** environ;

namespace brellis::platform::security {
namespace {

namespace cs = brellis::testing::codesign;

constexpr const char* kIdentifier = "com.velkor.tarvo.daemon";
const char* const kRequirementText =
    "identifier \"com.velkor.tarvo.daemon\" and info [CFBundleShortVersionString] >= \"2.1\" "
    "and anchor apple generic and certificate leaf[subject.OU] = \"K2V9T7Q4MX\"";

void appendByte(const std::filesystem::path& path) {
  std::ofstream(path, std::ios::binary | std::ios::app).put('\0');
}

class CodeSigningTest : public SigningFixture {
 protected:
  OSStatus staticStatus(const std::filesystem::path& path) {
    return checkStaticCodeValidity(path, Requirement::compile(kRequirementText)).status;
  }
  std::filesystem::path signedPeer(
      const std::string& name, const std::string& identifier, const std::string& version,
      const cs::LeafProfile& profile = cs::LeafProfile::developerId()) {
    return signedCopy(BRELLIS_GUEST_PEER, name, identifier, version, profile);
  }
};

TEST_F(CodeSigningTest, StaticChecksReportEachFailureWithItsStatus) {
  EXPECT_EQ(staticStatus(signedPeer("good", kIdentifier, "2.1")), errSecSuccess);
  EXPECT_EQ(staticStatus(signedPeer("newer", kIdentifier, "10.0")), errSecSuccess);
  EXPECT_EQ(staticStatus(signedPeer("lower", kIdentifier, "2.0.9")), errSecCSReqFailed);
  EXPECT_EQ(staticStatus(signedPeer("other-id", "com.velkor.tarvo.daemonx", "2.1")),
            errSecCSReqFailed);
  cs::LeafProfile otherTeam = cs::LeafProfile::developerId();
  otherTeam.organizationalUnit = cs::kOtherTeamIdentifier;
  EXPECT_EQ(staticStatus(signedPeer("wrong-ou", kIdentifier, "2.1", otherTeam)), errSecCSReqFailed);

  std::filesystem::path unsigned_ = root_ / "unsigned";
  std::filesystem::copy_file(BRELLIS_GUEST_PEER, unsigned_);
  EXPECT_EQ(staticStatus(unsigned_), errSecCSUnsigned);

  std::filesystem::path tampered = signedPeer("tampered", kIdentifier, "2.1");
  appendByte(tampered);
  EXPECT_EQ(staticStatus(tampered), errSecCSSignatureFailed);

  EXPECT_EQ(staticStatus(root_ / "missing"), errSecCSNoSuchCode);
  ValidityResult result = checkStaticCodeValidity(unsigned_, Requirement::compile("anchor apple"));
  EXPECT_EQ(result.executablePath, unsigned_);
  EXPECT_EQ(result.message, "code object is not signed at all");
}

TEST_F(CodeSigningTest, ChainMustEndInTheConfiguredAnchorStore) {
  std::filesystem::path good = signedPeer("good", kIdentifier, "2.1");
  std::filesystem::remove_all(root_ / "security");
  EXPECT_EQ(staticStatus(good), errSecCSReqFailed);

  // Another CA's root in the store does not anchor this chain.
  cs::TestCertificateAuthority::create("Stranger").installAnchor(root_);
  EXPECT_EQ(staticStatus(good), errSecCSReqFailed);
  EXPECT_TRUE(
      checkStaticCodeValidity(good, Requirement::compile("identifier " + std::string(kIdentifier)))
          .ok());

  // A signature by another leaf key than the certificate's is refused outright.
  authority_->installAnchor(root_);
  cs::SigningIdentity identity = authority_->issueLeaf(cs::LeafProfile::developerId());
  cs::SigningIdentity impostor = authority_->issueLeaf(cs::LeafProfile::developerId());
  identity.privateKeyPem = impostor.privateKeyPem;
  cs::signExecutable(good, kIdentifier, "2.1", identity);
  EXPECT_EQ(staticStatus(good), errSecCSSignatureFailed);
}

TEST_F(CodeSigningTest, MalformedSignatureFilesAreSignatureFailures) {
  std::filesystem::path good = signedPeer("good", kIdentifier, "2.1");
  std::ifstream in(signaturePath(good), std::ios::binary);
  foundation::Bytes original((std::istreambuf_iterator<char>(in)), {});
  ASSERT_NO_THROW(decodeCodeSignature(original));
  auto write = [&](const foundation::Bytes& bytes) {
    std::ofstream(signaturePath(good), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  };
  // Every truncation, and a flipped byte at every position, is refused without a crash.
  for (size_t size = 0; size < original.size(); size += 7) {
    write(foundation::Bytes(original.begin(), original.begin() + static_cast<long>(size)));
    EXPECT_EQ(staticStatus(good), errSecCSSignatureFailed) << size;
  }
  for (size_t i = 0; i < original.size(); ++i) {
    foundation::Bytes flipped = original;
    flipped[i] ^= 0x41;
    write(flipped);
    OSStatus status = staticStatus(good);
    if (status == errSecSuccess) {
      // Only a flip in the container's unused bytes may leave the signed content intact.
      CodeSignature decoded = decodeCodeSignature(flipped);
      CodeSignature expected = decodeCodeSignature(original);
      EXPECT_EQ(decoded.signedData, expected.signedData) << i;
      EXPECT_EQ(decoded.signature, expected.signature) << i;
    } else {
      EXPECT_TRUE(status == errSecCSSignatureFailed || status == errSecCSReqFailed) << i;
    }
  }
  foundation::PlistDict wrongKinds;
  wrongKinds.set("format", int64_t{1});
  wrongKinds.set("signedData", "text");
  wrongKinds.set("signature", foundation::Bytes{1});
  write(foundation::writeBinaryPlist(wrongKinds));
  EXPECT_EQ(staticStatus(good), errSecCSSignatureFailed);

  // A signature file that is a link is not followed.
  std::filesystem::remove(signaturePath(good));
  std::filesystem::create_symlink("/dev/zero", signaturePath(good));
  EXPECT_EQ(staticStatus(good), errSecCSSignatureFailed);
}

// A signed peer process that connects to our socket; the test holds the accepted descriptor.
class GuestPeer {
 public:
  GuestPeer(const std::filesystem::path& program, const std::filesystem::path& socketPath,
            const std::vector<std::string>& extra = {}) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
    std::vector<std::string> args = {program.string(), socketPath.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    char hello = 0;
    EXPECT_EQ(::read(connection_, &hello, 1), 1);
  }
  ~GuestPeer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(connection_);
    ::close(listener_);
  }
  int connection() const { return connection_; }
  pid_t pid() const { return pid_; }
  void send(char command) { ASSERT_EQ(::write(connection_, &command, 1), 1); }
  void reap() {
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  int listener_ = -1;
  int connection_ = -1;
  pid_t pid_ = 0;
};

TEST_F(CodeSigningTest, GuestIsCheckedThroughItsSocketCredentials) {
  Requirement requirement = Requirement::compile(kRequirementText);
  std::filesystem::path good = signedPeer("good-peer", kIdentifier, "2.1");
  GuestPeer peer(good, root_ / "s1");
  std::optional<GuestIdentity> identity = captureGuestIdentity(peer.connection());
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->pid, peer.pid());
  EXPECT_EQ(identity->uid, ::getuid());
  EXPECT_EQ(identity->gid, ::getgid());
  EXPECT_EQ(identity->startTime, processStartTime(peer.pid()));
  ValidityResult result = checkGuestValidity(*identity, requirement);
  EXPECT_EQ(result.status, errSecSuccess) << result.message;
  EXPECT_EQ(result.executablePath, good);

  // Another program put at the peer's path after it started does not stand in for it: the
  // running image is what is checked, at its current place (which has no signature).
  std::filesystem::path moved = root_ / "moved";
  std::filesystem::rename(good, moved);
  std::filesystem::copy_file(signaturePath(good), signaturePath(root_ / "impostor"));
  std::filesystem::copy_file("/bin/true", good);
  result = checkGuestValidity(*identity, requirement);
  EXPECT_EQ(result.status, errSecCSUnsigned);
  EXPECT_EQ(result.executablePath, moved);
  std::filesystem::rename(signaturePath(good), signaturePath(moved));
  EXPECT_EQ(checkGuestValidity(*identity, requirement).status, errSecSuccess);

  for (auto [name, version, status] : {std::tuple{"lower-peer", "2.0", errSecCSReqFailed},
                                       std::tuple{"other-peer", "3.0", errSecCSReqFailed}}) {
    std::filesystem::path path =
        signedPeer(name, std::string(name) == "other-peer" ? "com.other" : kIdentifier, version);
    GuestPeer other(path, root_ / (std::string(name) + ".sock"));
    auto otherIdentity = captureGuestIdentity(other.connection());
    ASSERT_TRUE(otherIdentity);
    EXPECT_EQ(checkGuestValidity(*otherIdentity, requirement).status, status) << name;
  }
}

TEST_F(CodeSigningTest, GoneReusedOrReexecutedGuestIsNoSuchCode) {
  Requirement requirement = Requirement::compile(kRequirementText);
  std::filesystem::path good = signedPeer("peer", kIdentifier, "2.1");
  {
    GuestPeer peer(good, root_ / "gone");
    auto identity = captureGuestIdentity(peer.connection());
    ASSERT_TRUE(identity);
    GuestIdentity reused = *identity;
    reused.startTime += 1;  // the same pid, another process
    EXPECT_EQ(checkGuestValidity(reused, requirement).status, errSecCSNoSuchCode);
    EXPECT_THROW(GuestCode::copyGuest(reused), SecurityError);
    peer.send('q');
    peer.reap();
    EXPECT_EQ(checkGuestValidity(*identity, requirement).status, errSecCSNoSuchCode);
    EXPECT_FALSE(processStartTime(identity->pid));
  }
  {
    GuestPeer peer(good, root_ / "exec", {"/bin/sh"});
    auto identity = captureGuestIdentity(peer.connection());
    ASSERT_TRUE(identity);
    GuestCode code = GuestCode::copyGuest(*identity);
    EXPECT_TRUE(checkValidity(code, &requirement).ok());
    peer.send('e');
    char ready = 0;
    ASSERT_EQ(::read(peer.connection(), &ready, 1), 1);
    ValidityResult result = checkValidity(code, &requirement);
    EXPECT_EQ(result.status, errSecCSNoSuchCode) << result.message;
  }
  EXPECT_FALSE(captureGuestIdentity(-1));
  EXPECT_FALSE(processStartTime(0));
  EXPECT_FALSE(processStartTime(-5));
}

}  // namespace
}  // namespace brellis::platform::security
