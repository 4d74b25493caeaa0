// The token plug-in end to end: the token service loads the built BrellisToken plug-in, the main
// program's token host installs the configuration, the test daemon (a separate, signed process)
// hands out the shared secret and the simulated phone (a separate process) answers over the
// simulated radio and link. Signatures, decryptions and secrets are checked with openssl.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "connectivity/pairing_identity.h"
#include "connectivity/peer_defaults.h"
#include "group_defaults/group_defaults.h"
#include "platform/crypto/crypto.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/token_service.h"
#include "platform/foundation/hex.h"
#include "testing/codesign/test_certificate_authority.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"
#include "token_host/token_host_wrapper.h"
#include "token_host/unlock_token_configuration.h"

namespace brellis::token_extension {
namespace {

namespace ctk = platform::crypto_token_kit;
using ctk::TKErrorCode;
using ctk::TokenKeyAlgorithm;
using ctk::TokenOperationOptions;
using group_defaults::GroupDefaults;
using platform::foundation::Bytes;
using platform::foundation::hexEncode;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kContainerUUID = "6E3C1F0A-6F43-4A8B-9C39-1D2A3B4C5D6E";
constexpr const char* kPhoneIdentifier = "PHONE-1";
const Bytes kSalt{0x53, 0x41, 0x4c, 0x54, 0x01, 0x02};
constexpr int64_t kKeyID = token_host::keyObjectID;

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> readLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int openssl(const std::vector<std::string>& arguments) {
  return brellis::testing::runProgram("/usr/bin/openssl", arguments);
}

// A certificate of the test with its files: cert.pem, pub.pem and the private key key.pem.
struct KeyFiles {
  ctk::test_support::TestCertificate certificate;
  fs::path certificatePem, publicPem, privatePem;
};

class TokenPluginEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = root.path() / "e2e";
    fs::create_directories(dir);
    // A simulated radio, powered on.
    fs::create_directories(root.path() / "radio");

    // The signed test daemon with the shared secret for the user.
    auto ca = brellis::testing::codesign::TestCertificateAuthority::create();
    ca.installAnchor(root.path());
    daemonProgram = root.path() / "bin" / "brellis-test-daemon";
    fs::create_directories(daemonProgram.parent_path());
    fs::copy_file(BRELLIS_TEST_DAEMON, daemonProgram);
    brellis::testing::codesign::signExecutable(
        daemonProgram, "com.velkor.tarvo.daemon", "1.0",
        ca.issueLeaf(brellis::testing::codesign::LeafProfile::developerId()));
    sharedSecret = platform::crypto::randomBytes(32);
    writeFile(dir / "secret", sharedSecret);
    auto ready = root.path() / "test_daemon" / "ready";
    daemonPid = brellis::testing::startProgram(daemonProgram.string(),
                                               {"--shared-secret", (dir / "secret").string()});
    ASSERT_GT(daemonPid, 0);
    ASSERT_TRUE(brellis::testing::waitUntil([&] { return fs::exists(ready); }, 10s));

    // What the main program keeps in the group defaults.
    defaults = GroupDefaults::init(GroupDefaults::name);
    ASSERT_TRUE(defaults);
    defaults->set(true, GroupDefaults::Key::enableUnlockForLogin);
    defaults->set(int64_t{1}, GroupDefaults::Key::unlockVersion);
    connectivity::PeerDefaults::setPairingIdentities(std::vector<connectivity::PairingIdentity>{
        connectivity::PairingIdentity(kPhoneIdentifier, "Phone", kSalt, Bytes{4, 1})});
    connectivity::PeerDefaults::makePeer(kContainerUUID, "ContainerPeer");
    connectivity::PeerDefaults::makePeer("BrellisToken", "DriverPeer");

    ctk::TokenService::Options options;
    options.operationLimitForTesting = 20s;
    options.watchInterval = 20ms;
    // The controller's wait leaves room for the daemon's signature check in sanitizer builds; a
    // beacon run outlasts one exchange (its end disconnects the session).
    options.pluginSettings.set("AuthTimeoutMilliseconds", int64_t{8000});
    options.pluginSettings.set("BeaconDelayMilliseconds", int64_t{20});
    options.pluginSettings.set("BeaconIntervalSeconds", 9.0);
    options.pluginSettings.set("LinkPollIntervalMilliseconds", int64_t{20});
    auto loaded =
        ctk::TokenService::load(fs::path(BRELLIS_TOKEN_PLUGIN_DIR) / "Info.plist", options);
    ASSERT_TRUE(loaded) << loaded.error().description();
    service = std::move(*loaded);

    ec = makeKeyFiles(ctk::test_support::TestKeyKind::p256, "ec");
    rsa = makeKeyFiles(ctk::test_support::TestKeyKind::rsa2048, "rsa");
  }

  void TearDown() override {
    stopPhone();
    if (service) service->unload();
    if (daemonPid > 0) {
      kill(daemonPid, SIGTERM);
      brellis::testing::waitProgram(daemonPid);
    }
  }

  KeyFiles makeKeyFiles(ctk::test_support::TestKeyKind kind, const std::string& name) {
    KeyFiles files{ctk::test_support::makeTestCertificate(kind, name), dir / (name + "-cert.pem"),
                   dir / (name + "-pub.pem"), dir / (name + "-key.pem")};
    writeFile(dir / (name + "-cert.der"), files.certificate.der);
    writeFile(dir / (name + "-key.der"), files.certificate.privateKeyDer);
    EXPECT_EQ(openssl({"x509", "-inform", "DER", "-in", (dir / (name + "-cert.der")).string(),
                       "-out", files.certificatePem.string()}),
              0);
    EXPECT_EQ(openssl({"x509", "-in", files.certificatePem.string(), "-pubkey", "-noout", "-out",
                       files.publicPem.string()}),
              0);
    EXPECT_EQ(openssl({"pkey", "-inform", "DER", "-in", (dir / (name + "-key.der")).string(),
                       "-out", files.privatePem.string()}),
              0);
    return files;
  }

  // The main program installs the configuration made from `files`' certificate.
  void install(const KeyFiles& files) {
    token_host::TokenHostWrapper host(token_host::DriverDomain::brellis);
    host.addTokenData(files.certificate.der);
    ASSERT_EQ(service->tokenInstances().size(), 1u);
  }

  void startPhone(const KeyFiles& files, std::vector<std::string> extra = {}) {
    stopPhone();
    events = dir / ("phone-" + std::to_string(++phoneRuns) + ".events");
    std::vector<std::string> arguments = {
        "--identifier",    kPhoneIdentifier,
        "--salt",          hexEncode(kSalt),
        "--container",     kContainerUUID,
        "--shared-secret", (dir / "secret").string(),
        "--key",           std::to_string(kKeyID) + "=" + files.privatePem.string(),
        "--events",        events.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    phonePid = brellis::testing::startProgram(BRELLIS_PHONE, arguments);
    ASSERT_GT(phonePid, 0);
    ASSERT_TRUE(brellis::testing::waitUntil([&] { return hasEvent("ready"); }, 10s));
  }

  void stopPhone() {
    if (phonePid <= 0) return;
    kill(phonePid, SIGTERM);
    brellis::testing::waitProgram(phonePid);
    phonePid = -1;
  }

  bool hasEvent(const std::string& prefix) const {
    for (const auto& line : readLines(events)) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  std::vector<std::string> requests() const {
    std::vector<std::string> out;
    for (const auto& line : readLines(events)) {
      if (line.rfind("request ", 0) == 0) out.push_back(line);
    }
    return out;
  }

  std::shared_ptr<ctk::TokenServiceSession> openSession() {
    auto session = service->openSession(token_host::tokenInstanceID);
    EXPECT_TRUE(session) << session.error().description();
    return session ? *session : nullptr;
  }

  // openssl verifies `signature` of `message` with the certificate's public key.
  bool verifies(const KeyFiles& files, const Bytes& message, const Bytes& signature) {
    writeFile(dir / "message", message);
    writeFile(dir / "signature", signature);
    return openssl({"dgst", "-sha256", "-verify", files.publicPem.string(), "-signature",
                    (dir / "signature").string(), (dir / "message").string()}) == 0;
  }

  brellis::testing::TemporaryStateRoot root;
  fs::path dir, daemonProgram, events;
  Bytes sharedSecret;
  int daemonPid = -1, phonePid = -1, phoneRuns = 0;
  std::optional<GroupDefaults> defaults;
  std::unique_ptr<ctk::TokenService> service;
  KeyFiles ec, rsa;
};

bool isTK(const ctk::TKResult<Bytes>& result, TKErrorCode code) {
  return !result && ctk::isTKError(result.error(), code);
}

TEST_F(TokenPluginEndToEnd, SignaturesDecryptionAndKeyExchangeCheckedByOpenSSL) {
  install(ec);
  startPhone(ec);
  auto session = openSession();
  ASSERT_TRUE(session);
  const Bytes message{'b', 'r', 'e', 'l', 'l', 'i', 's', 0x00, 0xff};

  // ECDSA P-256 over the whole message.
  EXPECT_TRUE(session->supports(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, kKeyID));
  auto signature =
      session->sign(kKeyID, TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, message);
  ASSERT_TRUE(signature) << signature.error().description();
  EXPECT_TRUE(verifies(ec, message, *signature));
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_NE(requests()[0].find(" sign " + std::to_string(kKeyID) + " - " + hexEncode(message)),
            std::string::npos)
      << requests()[0];

  // ECDH: the secret equals the one the test derives with its own key.
  EVP_PKEY* own = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  ASSERT_NE(own, nullptr);
  Bytes ownPoint(65);
  size_t pointSize = 0;
  ASSERT_EQ(
      EVP_PKEY_get_octet_string_param(own, "pub", ownPoint.data(), ownPoint.size(), &pointSize), 1);
  ownPoint.resize(pointSize);
  const unsigned char* der = ec.certificate.der.data();
  X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(ec.certificate.der.size()));
  EVP_PKEY* peer = X509_get_pubkey(certificate);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(own, nullptr);
  Bytes expected(32);
  size_t secretSize = expected.size();
  ASSERT_EQ(EVP_PKEY_derive_init(context), 1);
  ASSERT_EQ(EVP_PKEY_derive_set_peer(context, peer), 1);
  ASSERT_EQ(EVP_PKEY_derive(context, expected.data(), &secretSize), 1);
  EVP_PKEY_CTX_free(context);
  EVP_PKEY_free(peer);
  X509_free(certificate);
  EVP_PKEY_free(own);
  auto secret = session->keyExchange(kKeyID, ownPoint, ctk::TKTokenKeyExchangeParameters{});
  ASSERT_TRUE(secret) << secret.error().description();
  EXPECT_EQ(*secret, expected);

  // The main program installs an RSA certificate: seen without a restart.
  std::atomic<int> changes{0};
  service->addConfigurationObserver([&] { changes++; });
  install(rsa);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return changes > 0; }));
  startPhone(rsa);
  auto rsaSession = openSession();
  ASSERT_TRUE(rsaSession);
  EXPECT_FALSE(rsaSession->supports(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, kKeyID));

  // RSA-2048 PKCS#1 v1.5 with SHA-256: the token gets the EMSA block through the real chain.
  signature =
      rsaSession->sign(kKeyID, TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, message);
  ASSERT_TRUE(signature) << signature.error().description();
  EXPECT_EQ(signature->size(), 256u);
  EXPECT_TRUE(verifies(rsa, message, *signature));

  // RSA decryption of what openssl encrypted (PKCS#1 v1.5): the service removes the padding.
  const Bytes plaintext{'s', 'e', 'c', 'r', 'e', 't', 0x00, 0x01};
  writeFile(dir / "plain", plaintext);
  ASSERT_EQ(openssl({"pkeyutl", "-encrypt", "-pubin", "-inkey", rsa.publicPem.string(), "-in",
                     (dir / "plain").string(), "-out", (dir / "cipher").string()}),
            0);
  auto decrypted =
      rsaSession->decrypt(kKeyID, TokenKeyAlgorithm::rsaEncryptionPKCS1, readFile(dir / "cipher"));
  ASSERT_TRUE(decrypted) << decrypted.error().description();
  EXPECT_EQ(*decrypted, plaintext);
}

TEST_F(TokenPluginEndToEnd, PinCycle) {
  defaults->set(true, GroupDefaults::Key::requirePIN);
  install(ec);
  startPhone(ec, {"--pin", "1234", "--script", "answer,incorrectPIN,answer"});
  auto session = openSession();
  ASSERT_TRUE(session);
  const Bytes message{1, 2, 3};
  const auto algorithm = TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256;

  // No PIN to give: -9 and nothing reaches the phone.
  EXPECT_TRUE(isTK(session->sign(kKeyID, algorithm, message), TKErrorCode::authenticationNeeded));
  EXPECT_TRUE(requests().empty());
  EXPECT_FALSE(hasEvent("invitation"));

  // With the PIN: the request carries it.
  TokenOperationOptions withPin;
  withPin.pin = "1234";
  auto signature = session->sign(kKeyID, algorithm, message, withPin);
  ASSERT_TRUE(signature) << signature.error().description();
  EXPECT_TRUE(verifies(ec, message, *signature));
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_NE(requests()[0].find(" 1234 "), std::string::npos) << requests()[0];

  // The phone says the PIN is wrong: -8; the next operation needs a PIN again.
  EXPECT_TRUE(isTK(session->sign(kKeyID, algorithm, message, withPin), TKErrorCode::badParameter));
  EXPECT_TRUE(isTK(session->sign(kKeyID, algorithm, message), TKErrorCode::authenticationNeeded));
  EXPECT_EQ(requests().size(), 2u);

  // A provider is asked when no PIN is given; cancelling it gives -4.
  TokenOperationOptions provided;
  int asked = 0;
  provided.pinProvider = [&](const ctk::PINRequest& request) -> std::optional<std::string> {
    asked++;
    EXPECT_EQ(request.operation, ctk::TKTokenOperation::signData);
    return std::nullopt;
  };
  EXPECT_TRUE(
      isTK(session->sign(kKeyID, algorithm, message, provided), TKErrorCode::canceledByUser));
  EXPECT_EQ(asked, 1);
  provided.pinProvider = [](const ctk::PINRequest&) { return std::optional<std::string>("1234"); };
  EXPECT_TRUE(session->sign(kKeyID, algorithm, message, provided));
}

TEST_F(TokenPluginEndToEnd, ErrorMapping) {
  install(ec);
  const Bytes message{1};
  const auto algorithm = TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256;

  // The phone fails its local authentication: -5.
  startPhone(ec, {"--script", "failedLocalAuth,silence"});
  auto session = openSession();
  ASSERT_TRUE(session);
  EXPECT_TRUE(isTK(session->sign(kKeyID, algorithm, message), TKErrorCode::authenticationFailed));
  // The phone stays silent: the controller's limit ends, -2.
  EXPECT_TRUE(isTK(session->sign(kKeyID, algorithm, message), TKErrorCode::communicationError));
  EXPECT_EQ(requests().size(), 2u);

  // No stored peers: -2 without any request.
  connectivity::PeerDefaults::removePeer("ContainerPeer");
  auto unpaired = openSession();
  ASSERT_TRUE(unpaired);
  EXPECT_TRUE(isTK(unpaired->sign(kKeyID, algorithm, message), TKErrorCode::communicationError));
  EXPECT_EQ(requests().size(), 2u);

  // The certificate's object ID is no key: the enquiry refuses it and nothing is sent.
  auto certificateID = session->sign(Bytes{0x5F, 0xC1, 0x00}, algorithm, message);
  ASSERT_FALSE(certificateID);
  EXPECT_TRUE(ctk::isTokenServiceError(certificateID.error(),
                                       ctk::TokenServiceErrorCode::operationNotSupported));

  // A physical smart card offered to the driver: no token, -1.
  auto card = service->offerSmartCard("Reader 0");
  ASSERT_FALSE(card);
  EXPECT_TRUE(ctk::isTKError(card.error(), TKErrorCode::notImplemented));

  // The configuration removed by the main program: -7 for the open session and for new ones.
  auto drivers = ctk::TKTokenDriverConfiguration::driverConfigurations();
  drivers.at(service->classID())
      .removeTokenConfigurationForTokenInstanceID(token_host::tokenInstanceID);
  EXPECT_TRUE(isTK(session->sign(kKeyID, algorithm, message), TKErrorCode::tokenNotFound));
  auto gone = service->openSession(token_host::tokenInstanceID);
  ASSERT_FALSE(gone);
  EXPECT_TRUE(ctk::isTKError(gone.error(), TKErrorCode::tokenNotFound));
}

}  // namespace
}  // namespace brellis::token_extension
