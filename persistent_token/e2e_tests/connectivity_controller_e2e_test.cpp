// Requests that really travel: the controller in this process, the signed test daemon handing out
// the shared secret, and the simulated phone (brellis-phone) over the simulated radio and link.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "connectivity/pairing_identity.h"
#include "connectivity/peer_defaults.h"
#include "connectivity/platform_peer_session.h"
#include "connectivity_protocol/authentication_response.h"
#include "daemon_client/tarvo_daemon_connection.h"
#include "group_defaults/group_defaults.h"
#include "persistent_token/connectivity_controller.h"
#include "persistent_token/symmetric_crypto_service.h"
#include "platform/core_bluetooth/simulated_radio.h"
#include "platform/crypto/crypto.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/hex.h"
#include "platform/os_log/logger.h"
#include "testing/codesign/test_certificate_authority.h"
#include "testing/support/python_oracle.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"
#include "testing/test_daemon/test_daemon.h"

using brellis::platform::foundation::hexDecode;
using brellis::platform::foundation::hexEncode;

namespace brellis::persistent_token {
namespace {

namespace fnd = platform::foundation;
namespace mp = platform::multipeer;
namespace proto = connectivity_protocol;
namespace ctk = platform::crypto_token_kit;
using fnd::Bytes;
using proto::AuthenticationResult;
using proto::AuthenticationUsage;
using Case = proto::ConnectivityError::Case;
using namespace std::chrono_literals;

constexpr const char* kPhoneIdentifier = "PHONE-1";
constexpr const char* kContainer = "6F1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
constexpr int64_t kEcCert = 1;
constexpr int64_t kRsaCert = 2;
constexpr const char* kPin = "4711";

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int shell(const std::string& command) {
  return brellis::testing::runProgram("/bin/sh", {"-c", command});
}

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
PKey readPublicKey(const std::filesystem::path& pem) {
  std::string text = readText(pem);
  BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return PKey(key, EVP_PKEY_free);
}

// Keys and certificates made once with the openssl tool: P-256 and RSA-2048.
struct Keys {
  std::filesystem::path directory;
  std::filesystem::path ecKey, ecCert, ecPub, rsaKey, rsaCert, rsaPub;
};
const Keys& keys() {
  static const Keys made = [] {
    Keys k;
    char pattern[] = "/tmp/brellis-phone-keys-XXXXXX";
    k.directory = mkdtemp(pattern);
    k.ecKey = k.directory / "ec.pem";
    k.ecCert = k.directory / "ec.crt";
    k.ecPub = k.directory / "ec.pub";
    k.rsaKey = k.directory / "rsa.pem";
    k.rsaCert = k.directory / "rsa.crt";
    k.rsaPub = k.directory / "rsa.pub";
    const std::string d = k.directory.string();
    int status = shell(
        "cd " + d +
        " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem 2>/dev/null"
        " && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.pem 2>/dev/null"
        " && openssl req -x509 -new -key ec.pem -subj /CN=ec -days 2 -out ec.crt 2>/dev/null"
        " && openssl req -x509 -new -key rsa.pem -subj /CN=rsa -days 2 -out rsa.crt 2>/dev/null"
        " && openssl x509 -in ec.crt -pubkey -noout > ec.pub"
        " && openssl x509 -in rsa.crt -pubkey -noout > rsa.pub");
    if (status != 0) std::abort();
    return k;
  }();
  return made;
}

// The state root with a trusted test daemon serving the shared secret, a radio, the pairing and
// two token classes; the phone is started by each test with its script.
class ControllerE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    secret_ = platform::crypto::randomBytes(32);
    salt_ = platform::crypto::randomBytes(16);
    ASSERT_TRUE(platform::core_bluetooth::SimulatedRadio::install(
        platform::core_bluetooth::SimulatedRadio::defaultDirectory()));
    connectivity::PeerDefaults::setPairingIdentities(std::vector<connectivity::PairingIdentity>{
        connectivity::PairingIdentity(kPhoneIdentifier, "Phone", salt_, {})});
    for (const char* classID :
         {"com.velkor.tarvo.unlock.token", "com.velkor.tarvo.brellis.token"}) {
      ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass(classID));
      ctk::TKTokenDriverConfiguration::driverConfigurations()
          .at(classID)
          .addTokenConfigurationForTokenInstanceID("UnlockToken");
    }

    auto ca = brellis::testing::codesign::TestCertificateAuthority::create();
    ca.installAnchor(root_.path());
    auto daemon = root_.path() / "bin" / "brellis-test-daemon";
    std::filesystem::create_directories(daemon.parent_path());
    std::filesystem::copy_file(BRELLIS_TEST_DAEMON, daemon);
    brellis::testing::codesign::signExecutable(
        daemon, "com.velkor.tarvo.daemon", "1.0",
        ca.issueLeaf(brellis::testing::codesign::LeafProfile::developerId()));
    secretFile_ = root_.path() / "secret.bin";
    writeFile(secretFile_, secret_);
    daemonState_ = brellis::testing::TestDaemon::defaultStateDirectory();
    std::filesystem::create_directories(daemonState_);
    daemonPid_ =
        brellis::testing::startProgram(daemon.string(), {"--shared-secret", secretFile_.string()});
    ASSERT_TRUE(brellis::testing::waitUntil(
        [&] { return std::filesystem::exists(daemonState_ / "ready"); }, 10s));
    SymmetricCryptoService::setDaemonConnection(daemon_client::TarvoDaemonConnection::make({}));
    // The first call connects and checks the daemon's signature; done here, it does not eat into
    // the beacon runs of the tests.
    platform::dispatch::blockOn(platform::dispatch::globalExecutor(),
                                SymmetricCryptoService::symmetricKey());

    options_.authTimeout = 5s;
    options_.beaconDelay = 50ms;
    options_.beaconInterval = 3.0;
    options_.linkOptions.pollInterval = 20ms;
  }

  void TearDown() override {
    for (auto& controller : controllers_) controller->waitForBeaconTasks();
    controllers_.clear();
    SymmetricCryptoService::setDaemonConnection(nullptr);
    for (int pid : {phonePid_, daemonPid_}) {
      if (pid > 0) {
        kill(pid, SIGTERM);
        brellis::testing::waitProgram(pid);
      }
    }
  }

  void startPhone(std::vector<std::string> extra) {
    eventsFile_ = root_.path() / "phone.events";
    std::vector<std::string> args = {
        "--identifier",    kPhoneIdentifier,
        "--salt",          hexEncode(salt_),
        "--container",     kContainer,
        "--shared-secret", secretFile_.string(),
        "--key",           std::to_string(kEcCert) + "=" + keys().ecKey.string(),
        "--key",           std::to_string(kRsaCert) + "=" + keys().rsaKey.string(),
        "--pin",           kPin,
        "--events",        eventsFile_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    phonePid_ = brellis::testing::startProgram(BRELLIS_PHONE, args);
    ASSERT_TRUE(waitForEvent("ready"));
  }

  std::vector<std::string> events() const {
    std::vector<std::string> lines;
    std::istringstream in(readText(eventsFile_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> eventsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& line : events()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }
  bool waitForEvent(const std::string& prefix, size_t count = 1) const {
    return brellis::testing::waitUntil([&] { return eventsStartingWith(prefix).size() >= count; },
                                       10s);
  }

  std::shared_ptr<ConnectivityController> makeController(std::string container = kContainer) {
    auto controller = ConnectivityController::create(mp::PeerID(std::move(container)),
                                                     mp::PeerID("DRIVER"), options_);
    controllers_.push_back(controller);
    return controller;
  }

  static AuthenticationResult request(
      ConnectivityController& controller, AuthenticationUsage usage, const Bytes& data,
      int64_t certID, std::optional<std::string> pin = std::nullopt,
      std::optional<ctk::TKTokenKeyExchangeParameters> parameters = std::nullopt) {
    std::optional<AuthenticationResult> outcome;
    int calls = 0;
    const auto caller = std::this_thread::get_id();
    controller.requestAuthentication(usage, data, certID, std::move(pin), std::move(parameters),
                                     [&](AuthenticationResult result) {
                                       ++calls;
                                       EXPECT_EQ(std::this_thread::get_id(), caller);
                                       outcome = std::move(result);
                                     });
    EXPECT_EQ(calls, 1);
    return outcome.value_or(tl::unexpected(proto::ConnectivityError(Case::nilResult)));
  }

  std::vector<std::string> controllerLines() {
    return capture_.sink().texts("ConnectivityController");
  }

  // What both ends saw, for failure messages.
  std::string transcript() {
    std::string out = "controller:";
    for (const auto& line : controllerLines()) out += "\n  " + line;
    out += "\nphone:";
    for (const auto& line : events()) out += "\n  " + line.substr(0, 120);
    return out;
  }

  static Case failureOf(const AuthenticationResult& result) {
    EXPECT_FALSE(result.has_value());
    return result.has_value() ? Case::nilResult : result.error().value();
  }

  platform::os_log::ScopedLogCapture capture_;
  brellis::testing::TemporaryStateRoot root_;
  Bytes secret_;
  Bytes salt_;
  std::filesystem::path secretFile_;
  std::filesystem::path daemonState_;
  std::filesystem::path eventsFile_;
  int daemonPid_ = -1;
  int phonePid_ = -1;
  ConnectivityControllerOptions options_;
  std::vector<std::shared_ptr<ConnectivityController>> controllers_;
};

bool verifies(const std::filesystem::path& publicKey, const Bytes& message, const Bytes& signature,
              const std::filesystem::path& scratch) {
  writeFile(scratch / "message.bin", message);
  writeFile(scratch / "signature.bin", signature);
  return shell("openssl dgst -sha256 -verify " + publicKey.string() + " -signature " +
               (scratch / "signature.bin").string() + " " + (scratch / "message.bin").string() +
               " >/dev/null") == 0;
}

// The EMSA-PKCS1-v1_5 block of SHA-256(message) for a 2048-bit key, as the host hands it over.
Bytes pkcs1Block(const Bytes& message) {
  Bytes block = {0x00, 0x01};
  const Bytes digestInfo = hexDecode("3031300d060960864801650304020105000420").value();
  block.resize(256 - digestInfo.size() - 32 - 1, 0xFF);
  block.push_back(0x00);
  block.insert(block.end(), digestInfo.begin(), digestInfo.end());
  Bytes digest = platform::crypto::sha256(message);
  block.insert(block.end(), digest.begin(), digest.end());
  return block;
}

TEST_F(ControllerE2ETest, SignDecryptAndKeyExchangeComeBackAndTheFramesOpenIndependently) {
  startPhone({});
  auto controller = makeController();
  const Bytes message = {'l', 'o', 'g', 'i', 'n'};

  // ECDSA over the whole message; the phone woke on the beacon.
  auto ecSignature = request(*controller, AuthenticationUsage::sign, message, kEcCert, kPin);
  ASSERT_TRUE(ecSignature.has_value()) << ecSignature.error().rawValue();
  EXPECT_TRUE(verifies(keys().ecPub, message, *ecSignature, root_.path()));
  EXPECT_EQ(eventsStartingWith("beacon " + std::string(kContainer)).size(), 1u);

  // RSA: the raw operation on the padded block.
  // Key-exchange parameters given to a sign request are not sent.
  auto rsaSignature = request(*controller, AuthenticationUsage::sign, pkcs1Block(message), kRsaCert,
                              std::nullopt, ctk::TKTokenKeyExchangeParameters{16, Bytes{1}});
  ASSERT_TRUE(rsaSignature.has_value());
  EXPECT_TRUE(verifies(keys().rsaPub, message, *rsaSignature, root_.path()));

  // Decrypt returns the padded plaintext block whose tail is the plaintext.
  PKey rsaPub = readPublicKey(keys().rsaPub);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new(rsaPub.get(), nullptr), EVP_PKEY_CTX_free);
  ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
  const Bytes plaintext = {'s', 'e', 'c', 'r', 'e', 't'};
  Bytes ciphertext(256);
  size_t size = ciphertext.size();
  ASSERT_EQ(
      EVP_PKEY_encrypt(ctx.get(), ciphertext.data(), &size, plaintext.data(), plaintext.size()), 1);
  auto decrypted = request(*controller, AuthenticationUsage::decrypt, ciphertext, kRsaCert);
  ASSERT_TRUE(decrypted.has_value());
  ASSERT_EQ(decrypted->size(), 256u);
  EXPECT_EQ((*decrypted)[1], 0x02);
  EXPECT_EQ(Bytes(decrypted->end() - 6, decrypted->end()), plaintext);

  // Key exchange: our own ephemeral key against the phone's, computed here as well.
  EVP_PKEY* ephemeralRaw = EVP_EC_gen("P-256");
  PKey ephemeral(ephemeralRaw, EVP_PKEY_free);
  Bytes point(65);
  size_t pointSize = 0;
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(ephemeral.get(), "encoded-pub-key", point.data(),
                                            point.size(), &pointSize),
            1);
  PKey ecPub = readPublicKey(keys().ecPub);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> derive(
      EVP_PKEY_CTX_new(ephemeral.get(), nullptr), EVP_PKEY_CTX_free);
  Bytes expected(32);
  size_t expectedSize = expected.size();
  ASSERT_EQ(EVP_PKEY_derive_init(derive.get()), 1);
  ASSERT_EQ(EVP_PKEY_derive_set_peer(derive.get(), ecPub.get()), 1);
  ASSERT_EQ(EVP_PKEY_derive(derive.get(), expected.data(), &expectedSize), 1);
  auto shared = request(*controller, AuthenticationUsage::keyExchange, point, kEcCert, std::nullopt,
                        ctk::TKTokenKeyExchangeParameters{32, std::nullopt});
  ASSERT_TRUE(shared.has_value());
  EXPECT_EQ(*shared, expected);
  // The phone notes a frame as sent once its send has returned, which may be after the answer
  // has reached us: wait for its fourth "sent" line before reading its events.
  ASSERT_TRUE(waitForEvent("sent ", 4)) << transcript();
  auto requests = eventsStartingWith("request ");
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_NE(requests[3].find(" keyExchange 1 - - other " + hexEncode(point) + " size 32 info none"),
            std::string::npos)
      << requests[3];

  // Every frame on the link is sealed: at least 28 bytes, never a readable property list; an
  // independent reader opens them all with the request's exact keys.
  std::string frames;
  for (const auto& line : events()) {
    if (line.rfind("received ", 0) != 0 && line.rfind("sent ", 0) != 0) continue;
    std::string frameHex = line.substr(line.find(' ') + 1);
    EXPECT_GE(frameHex.size(), 56u);
    EXPECT_EQ(frameHex.find(hexEncode(Bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0'})),
              std::string::npos);
    frames += line + "\n";
  }
  auto opened =
      brellis::testing::runPythonOracle(BRELLIS_OPEN_FRAMES, {hexEncode(secret_)}, frames);
  ASSERT_TRUE(opened.ok());
  std::vector<nlohmann::json> records;
  std::istringstream lines(opened.out);
  for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 8u);
  // The phone notes each request before answering it, so the received frames are in order; a
  // "sent" line may come after the next request's "received" one: answers are matched by tag.
  std::vector<nlohmann::json> received;
  std::map<std::string, nlohmann::json> answers;
  for (const auto& record : records) {
    if (record["direction"] == "received") {
      received.push_back(record);
    } else {
      EXPECT_EQ(record["direction"], "sent");
      answers[record["tag"].get<std::string>()] = record;
    }
  }
  ASSERT_EQ(received.size(), 4u);
  ASSERT_EQ(answers.size(), 4u);
  const auto& signRequest = received[0];
  EXPECT_EQ(signRequest["keys"],
            nlohmann::json({"certID", "data", "ephemeralKey", "pin", "tag", "usage"}));
  EXPECT_EQ(signRequest["usage"], "sign");
  EXPECT_EQ(signRequest["certID"], kEcCert);
  EXPECT_EQ(signRequest["pin"], kPin);
  EXPECT_EQ(signRequest["data"], hexEncode(message));
  EXPECT_EQ(signRequest["ephemeralKey"], "");
  ASSERT_TRUE(answers.contains(signRequest["tag"].get<std::string>()));
  EXPECT_EQ(answers[signRequest["tag"].get<std::string>()]["success"], hexEncode(*ecSignature));
  EXPECT_EQ(received[1]["keys"],
            nlohmann::json({"certID", "data", "ephemeralKey", "tag", "usage"}));
  const auto& exchange = received[3];
  EXPECT_EQ(exchange["keys"], nlohmann::json({"certID", "data", "ephemeralKey", "keyExchangeParams",
                                              "tag", "usage"}));
  EXPECT_EQ(exchange["data"], "");
  EXPECT_EQ(exchange["keyExchangeParams"],
            nlohmann::json({{"otherPublicCert", hexEncode(point)}, {"requestedSize", 32}}));
}

TEST_F(ControllerE2ETest, FailureTableAgainstTheScriptedPhone) {
  auto groupDefaults = *group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name);
  groupDefaults.set(fnd::PlistValue(int64_t{0}), group_defaults::GroupDefaults::Key::unlockVersion);
  startPhone({"--script",
              "otherTag,garbageThenValid,incorrectPIN,failedLocalAuth,sealedGarbage,answerTwice,"
              "silence,dropLink,refuseInvitation,answer",
              "--start-now"});
  auto controller = makeController();
  const Bytes message = {1, 2, 3};
  auto unlockVersion = [&] {
    return groupDefaults.integer(group_defaults::GroupDefaults::Key::unlockVersion);
  };

  // Another tag ends the request at once and leaves the stored version alone.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failureOf(request(*controller, AuthenticationUsage::sign, message, kEcCert)),
            Case::unknownTag);
  EXPECT_LT(std::chrono::steady_clock::now() - start, options_.authTimeout);
  EXPECT_EQ(unlockVersion(), 0);

  // A frame that cannot be opened is ignored; the valid one that follows completes.
  auto valid = request(*controller, AuthenticationUsage::sign, message, kEcCert);
  ASSERT_TRUE(valid.has_value());
  EXPECT_TRUE(verifies(keys().ecPub, message, *valid, root_.path()));
  EXPECT_EQ(unlockVersion(), 1);
  auto lines = controllerLines();
  EXPECT_NE(
      std::find_if(lines.begin(), lines.end(),
                   [](const std::string& l) { return l.starts_with("Unable to decrypt data: "); }),
      lines.end());

  // The phone's failures pass through, and the version is stored from a failure answer too.
  groupDefaults.set(fnd::PlistValue(int64_t{0}), group_defaults::GroupDefaults::Key::unlockVersion);
  EXPECT_EQ(failureOf(request(*controller, AuthenticationUsage::sign, message, kEcCert)),
            Case::incorrectPIN);
  EXPECT_EQ(unlockVersion(), 1);
  EXPECT_EQ(failureOf(request(*controller, AuthenticationUsage::decrypt, message, kRsaCert)),
            Case::failedLocalAuth);

  // An answer that opens but is no response ends the request at once with failureDecode.
  capture_.sink().clear();
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(failureOf(request(*controller, AuthenticationUsage::sign, message, kEcCert)),
            Case::failureDecode);
  EXPECT_LT(std::chrono::steady_clock::now() - start, options_.authTimeout);
  auto records = capture_.sink().records();
  EXPECT_NE(std::find_if(records.begin(), records.end(),
                         [](const auto& record) {
                           return record.category == "ConnectivityController" &&
                                  record.text == "Failed to decode" &&
                                  record.level == platform::os_log::LogLevel::error;
                         }),
            records.end())
      << transcript();
  capture_.sink().clear();

  // Of two answers the first is taken (the second is a failSign under the same tag).
  auto twice = request(*controller, AuthenticationUsage::sign, message, kEcCert);
  ASSERT_TRUE(twice.has_value());
  EXPECT_TRUE(verifies(keys().ecPub, message, *twice, root_.path()));
  lines = controllerLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Received sign result"), 1);

  // Silence, a dropped link and a refused invitation all end by the time limit.
  options_.authTimeout = 400ms;
  auto shortController = makeController();
  for (const char* step : {"silence", "dropLink", "refuseInvitation"}) {
    capture_.sink().clear();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf(request(*shortController, AuthenticationUsage::sign, message, kEcCert)),
              Case::timedOut)
        << step;
    EXPECT_GE(std::chrono::steady_clock::now() - start, options_.authTimeout);
    lines = controllerLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Time out of sign request"), lines.end());
  }
  EXPECT_TRUE(waitForEvent("invitation refused DRIVER script"));
  EXPECT_TRUE(waitForEvent("dropped", 2));
  EXPECT_EQ(eventsStartingWith("dropped").size(), 2u);

  // The stale answer of the answerTwice request and the late events did not leak into the
  // next request: the phone's plain answer completes it.
  options_.authTimeout = 5s;
  auto last = makeController();
  auto answered = request(*last, AuthenticationUsage::sign, message, kEcCert);
  ASSERT_TRUE(answered.has_value());
  EXPECT_TRUE(verifies(keys().ecPub, message, *answered, root_.path()));
}

TEST_F(ControllerE2ETest, SendAndSealingFailuresAndRequestsThatNeverStart) {
  startPhone({"--start-now"});
  const Bytes message = {9};

  // Sending fails: failureSend at once, not after the wait.
  options_.makeSession = [](const mp::PeerID& peer) {
    auto session = connectivity::PlatformPeerSession::make(peer);
    session->platformSession()->failNextSend();
    return std::static_pointer_cast<connectivity::PeerSession>(session);
  };
  auto failing = makeController();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failureOf(request(*failing, AuthenticationUsage::sign, message, kEcCert)),
            Case::failureSend);
  EXPECT_LT(std::chrono::steady_clock::now() - start, options_.authTimeout);
  auto lines = controllerLines();
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) {
                           return l.starts_with("Error sending authentication request: ");
                         }),
            lines.end());
  options_.makeSession = nullptr;

  // No shared secret: nothing is sent and the request ends by its limit.
  brellis::testing::TestDaemon::writeScript(
      daemonState_, {{"sharedSecretForAccount:completion:",
                      {{"mode", "error"}, {"errorDomain", "D"}, {"errorCode", 1}}}});
  options_.authTimeout = 500ms;
  auto sealing = makeController();
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(failureOf(request(*sealing, AuthenticationUsage::sign, message, kEcCert)),
            Case::timedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, options_.authTimeout);
  EXPECT_TRUE(eventsStartingWith("received").empty());
  brellis::testing::TestDaemon::writeScript(daemonState_, nlohmann::json::object());

  // Not paired, and a key exchange without parameters: at once, nothing opened or logged after.
  capture_.sink().clear();
  EXPECT_EQ(failureOf(request(*sealing, AuthenticationUsage::keyExchange, message, kEcCert)),
            Case::failureEncode);
  connectivity::PeerDefaults::setPairingIdentities(std::nullopt);
  EXPECT_EQ(failureOf(request(*sealing, AuthenticationUsage::keyExchange, message, kEcCert)),
            Case::failureEncode);
  EXPECT_EQ(controllerLines(),
            (std::vector<std::string>{"Can not keyExchange; parameters undefined",
                                      "Can not keyExchange; not paired"}));

  // Paired with a phone that never shows up: the beacon runs its full 30 seconds unless the owner
  // ends its task, which cuts the run short, stops the advert and still disables the token.
  for (auto& earlier : controllers_) earlier->waitForBeaconTasks();
  const auto radio = platform::core_bluetooth::SimulatedRadio::defaultDirectory();
  ASSERT_TRUE(platform::core_bluetooth::SimulatedRadio::advertisements(radio).empty());
  capture_.sink().clear();
  connectivity::PeerDefaults::setPairingIdentities(std::vector<connectivity::PairingIdentity>{
      connectivity::PairingIdentity("PHONE-2", "Other", salt_, {})});
  options_.authTimeout = 200ms;
  options_.beaconDelay = 20ms;
  options_.beaconInterval = 30.0;
  auto unloading = makeController();
  EXPECT_EQ(failureOf(request(*unloading, AuthenticationUsage::sign, message, kEcCert)),
            Case::timedOut);
  EXPECT_FALSE(platform::core_bluetooth::SimulatedRadio::advertisements(radio).empty());
  start = std::chrono::steady_clock::now();
  unloading->endBeaconTasks();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(platform::core_bluetooth::SimulatedRadio::advertisements(radio).empty());
  auto last = controllerLines();
  EXPECT_EQ(std::count(last.begin(), last.end(), "Disabling"), 1);
}

TEST_F(ControllerE2ETest, BeaconRunsOfOneRequestLeaveTheNextRequestAlone) {
  const Bytes message = {7};
  auto unlockClass = [] {
    return ctk::TKTokenDriverConfiguration::driverConfigurations()
        .at("com.velkor.tarvo.unlock.token")
        .tokenConfigurations()
        .count("UnlockToken");
  };
  auto mainClass = [] {
    return ctk::TKTokenDriverConfiguration::driverConfigurations()
        .at("com.velkor.tarvo.brellis.token")
        .tokenConfigurations()
        .count("UnlockToken");
  };

  // The phone connects during the run (it takes 800 ms to wake): the run goes to its end, then
  // "Disabling", the removal and "Disconnecting"; the second request, started while that run is
  // still on, gets a late answer after the run ended and still succeeds on its own session.
  startPhone({"--script", "answer,late", "--late-ms", "2500", "--wake-ms", "800"});
  options_.beaconDelay = 600ms;
  options_.beaconInterval = 2.5;
  auto controller = makeController();
  auto first = request(*controller, AuthenticationUsage::sign, message, kEcCert);
  ASSERT_TRUE(first.has_value()) << transcript();
  EXPECT_EQ(unlockClass(), 1u);
  auto second = request(*controller, AuthenticationUsage::sign, message, kEcCert);
  ASSERT_TRUE(second.has_value()) << transcript();
  EXPECT_TRUE(verifies(keys().ecPub, message, *second, root_.path()));
  controller->waitForBeaconTasks();
  EXPECT_EQ(unlockClass(), 0u);
  EXPECT_EQ(mainClass(), 1u);
  auto lines = controllerLines();
  auto disabling = std::find(lines.begin(), lines.end(), "Disabling");
  ASSERT_NE(disabling, lines.end());
  ASSERT_NE(disabling + 1, lines.end());
  EXPECT_EQ(*(disabling + 1), "Disconnecting");
  // The second request's answer came after the first run had ended.
  std::vector<size_t> received;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "Received authentication data") received.push_back(i);
  }
  ASSERT_EQ(received.size(), 2u);
  EXPECT_GT(received[1], static_cast<size_t>(disabling - lines.begin()));

  // The phone connects within the first second: its beacon is released before the run and no
  // "Disabling" follows for that request.
  capture_.sink().clear();
  options_.beaconDelay = 3000ms;
  auto quick = makeController();
  auto third = request(*quick, AuthenticationUsage::sign, message, kEcCert);
  ASSERT_TRUE(third.has_value());
  quick->waitForBeaconTasks();
  lines = controllerLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Disabling"), 0) << transcript();
}

// A peer session that is not the platform's: the test plays its link, reporting the connect
// and the received bytes through the session delegate as such a session does.
class ScriptedPeerSession : public connectivity::PeerSession {
 public:
  std::shared_ptr<connectivity::PeerSessionDelegate> sessionDelegate() const override {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }
  void setSessionDelegate(std::weak_ptr<connectivity::PeerSessionDelegate> delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  std::vector<mp::PeerID> connectedPeers() const override { return {}; }
  void send(const Bytes& data, const std::vector<mp::PeerID>& toPeers,
            mp::SendDataMode mode) override {
    std::lock_guard lock(mutex_);
    sent_.push_back({data, toPeers, mode});
  }
  void disconnect() override { disconnected_ = true; }

  struct Sent {
    Bytes data;
    std::vector<mp::PeerID> toPeers;
    mp::SendDataMode mode;
  };
  std::vector<Sent> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  bool disconnected() const { return disconnected_; }

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<connectivity::PeerSessionDelegate> delegate_;
  std::vector<Sent> sent_;
  std::atomic<bool> disconnected_{false};
};

TEST_F(ControllerE2ETest, AnotherPeerSessionSendsOnConnectAndHandsOverReceivedBytesUnopened) {
  std::mutex made;
  std::vector<std::shared_ptr<ScriptedPeerSession>> sessions;
  options_.makeSession = [&](const mp::PeerID&) {
    auto session = std::make_shared<ScriptedPeerSession>();
    std::lock_guard lock(made);
    sessions.push_back(session);
    return std::static_pointer_cast<connectivity::PeerSession>(session);
  };
  auto controller = makeController();
  const SymmetricKey key = deriveSessionKey(secret_);
  const Bytes message = {'o', 't', 'h', 'e', 'r'};
  const mp::PeerID phone(kPhoneIdentifier);

  // Plays one request's link: connects, waits for the sealed request and answers with what
  // `answer` makes of it. Returns the request the controller sent.
  auto serve = [&](size_t index,
                   const std::function<Bytes(const proto::AuthenticationRequest&)>& answer)
      -> std::optional<proto::AuthenticationRequest> {
    std::shared_ptr<ScriptedPeerSession> session;
    if (!brellis::testing::waitUntil([&] {
          std::lock_guard lock(made);
          if (sessions.size() <= index || !sessions[index]->sessionDelegate()) return false;
          session = sessions[index];
          return true;
        })) {
      return std::nullopt;
    }
    EXPECT_TRUE(session->sent().empty());
    session->sessionDelegate()->session(session, phone);
    if (!brellis::testing::waitUntil([&] { return !session->sent().empty(); })) return std::nullopt;
    const auto sent = session->sent();
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].toPeers, std::vector<mp::PeerID>{phone});
    EXPECT_EQ(sent[0].mode, mp::SendDataMode::reliable);
    auto request = proto::AuthenticationRequest::decode(openMessage(key, sent[0].data));
    session->sessionDelegate()->session(session, answer(request));
    return request;
  };
  auto inBackground = [&](AuthenticationResult& into) {
    return std::thread(
        [&] { into = request(*controller, AuthenticationUsage::sign, message, kEcCert, kPin); });
  };

  // A sealed answer, as the platform's session would carry it, is handed over without opening:
  // it cannot be decoded.
  AuthenticationResult first = tl::unexpected(proto::ConnectivityError(Case::nilResult));
  std::thread waiting = inBackground(first);
  auto sentFirst = serve(0, [&](const proto::AuthenticationRequest& request) {
    return sealMessage(key, proto::AuthenticationResponse(request.tag(), Bytes{1},
                                                          proto::UnlockVersion::unlock_1_2_0)
                                .encode());
  });
  waiting.join();
  ASSERT_TRUE(sentFirst);
  EXPECT_EQ(sentFirst->data(), message);
  EXPECT_EQ(sentFirst->pin(), std::optional<std::string>(kPin));
  EXPECT_EQ(failureOf(first), Case::failureDecode);

  // The plain answer completes the request, and the session is disconnected after it.
  AuthenticationResult second = tl::unexpected(proto::ConnectivityError(Case::nilResult));
  waiting = inBackground(second);
  auto sentSecond = serve(1, [&](const proto::AuthenticationRequest& request) {
    return proto::AuthenticationResponse(request.tag(), Bytes{7, 7},
                                         proto::UnlockVersion::unlock_1_2_0)
        .encode();
  });
  waiting.join();
  ASSERT_TRUE(sentSecond);
  ASSERT_TRUE(second.has_value()) << transcript();
  EXPECT_EQ(*second, (Bytes{7, 7}));
  std::lock_guard lock(made);
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_TRUE(sessions[0]->disconnected());
  EXPECT_TRUE(sessions[1]->disconnected());
  auto lines = controllerLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Sending authentication request"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Received authentication data"), 2);
}

TEST_F(ControllerE2ETest, StaleAnswersAndConcurrentCallers) {
  startPhone({"--start-now", "--script", "silence,answer"});
  const Bytes message = {5, 5};
  options_.authTimeout = 600ms;
  auto controller = makeController();

  // An answer that arrives while nothing is in flight is dropped: sealed with the right key but
  // no request waits for it, and it does not complete the next request.
  proto::AuthenticationResponse stale(fnd::Uuid::random(), Bytes{0xEE},
                                      proto::UnlockVersion::unlock_1_2_0);
  SymmetricKey key = deriveSessionKey(secret_);
  controller->didReceiveData(nullptr, sealMessage(key, stale.encode()),
                             mp::PeerID(kPhoneIdentifier));
  ASSERT_TRUE(brellis::testing::waitUntil([&] {
    auto lines = controllerLines();
    return std::find(lines.begin(), lines.end(), "Received authentication data") != lines.end();
  }));
  EXPECT_EQ(failureOf(request(*controller, AuthenticationUsage::sign, message, kEcCert)),
            Case::timedOut);

  // A container peer that is not a UUID: no beacon, and the request still succeeds when the
  // phone connects by itself.
  options_.authTimeout = 5s;
  capture_.sink().clear();
  auto noBeacon = makeController("not a UUID");
  EXPECT_FALSE(noBeacon->beaconData().has_value());
  ASSERT_TRUE(request(*noBeacon, AuthenticationUsage::sign, message, kEcCert).has_value());
  auto lines = controllerLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Beacon data is undefined"), lines.end());

  // Two threads at once are served one after the other, each with its own answer.
  auto shared = makeController();
  const Bytes messageA = {'A'};
  const Bytes messageB = {'B', 'B'};
  AuthenticationResult resultA = tl::unexpected(proto::ConnectivityError(Case::nilResult));
  AuthenticationResult resultB = resultA;
  std::thread a([&] { resultA = request(*shared, AuthenticationUsage::sign, messageA, kEcCert); });
  std::thread b([&] { resultB = request(*shared, AuthenticationUsage::sign, messageB, kEcCert); });
  a.join();
  b.join();
  ASSERT_TRUE(resultA.has_value());
  ASSERT_TRUE(resultB.has_value());
  // One after the other: every request ends before the next one begins.
  bool inFlight = false;
  for (const auto& line : controllerLines()) {
    if (line == "Initiate sign request") {
      EXPECT_FALSE(inFlight);
      inFlight = true;
    } else if (line == "Disconnecting") {
      inFlight = false;
    }
  }
  EXPECT_TRUE(verifies(keys().ecPub, messageA, *resultA, root_.path()));
  EXPECT_TRUE(verifies(keys().ecPub, messageB, *resultB, root_.path()));
}

}  // namespace
}  // namespace brellis::persistent_token
