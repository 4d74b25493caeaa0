#include "testing/pkcs11_client/phone_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "connectivity/pairing_identity.h"
#include "connectivity/peer_defaults.h"
#include "testing/support/wait_until.h"

namespace brellis::testing {

namespace {

namespace fs = std::filesystem;

constexpr const char* kPhoneIdentifier = "PHONE-1";
constexpr const char* kSaltHex = "0a0b0c0d0e0f";
constexpr const char* kContainerUUID = "6E3C1F0A-6F43-4A8B-9C39-1D2A3B4C5D6E";
constexpr const char* kCertID = "6275328";  // the key's object ID, 0x5FC100

}  // namespace

bool openssl(const std::vector<std::string>& arguments, std::string* output) {
  auto run = runClient("openssl", arguments, std::chrono::seconds(30));
  if (output) *output = run.out;
  return run.status == 0;
}

PhoneFixture::PhoneFixture(const platform::crypto_token_kit::test_support::TestCertificate& cert,
                           Settings settings)
    : Pkcs11ClientFixture(cert, settings) {
  auto der =
      writeFile("phone-key.der", std::string(cert.privateKeyDer.begin(), cert.privateKeyDer.end()));
  openssl(
      {"pkey", "-inform", "DER", "-in", der.string(), "-out", (root() / "phone-key.pem").string()});
  auto pem = writeFile("certificate.pem", cert.pem);
  openssl({"x509", "-in", pem.string(), "-pubkey", "-noout", "-out", publicKeyPEM().string()});
  connectivity::PeerDefaults::setPairingIdentities(
      std::vector<connectivity::PairingIdentity>{connectivity::PairingIdentity(
          kPhoneIdentifier, "Phone", {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}, {})});
  fs::create_directories(root() / "radio");
}

PhoneFixture::~PhoneFixture() {
  for (pid_t child : children_) {
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
  }
}

pid_t PhoneFixture::spawn(const std::vector<std::string>& command, const fs::path& log) {
  // Everything the child needs is made before the fork: between fork and exec a child of this
  // multithreaded process makes only async-signal-safe calls.
  std::vector<std::string> copy = command;
  std::vector<char*> argv;
  for (auto& argument : copy) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string logPath = log.string();
  pid_t pid = ::fork();
  if (pid == 0) {
    // The party ends with the test process; its output goes to a log of the state root.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid > 0) children_.push_back(pid);
  return pid;
}

bool PhoneFixture::start(std::string* why) { return start(why, DaemonSetup{}); }

bool PhoneFixture::start(std::string* why, DaemonSetup setup) {
  const fs::path ca = root() / "ca";
  const fs::path daemon = root() / "bin" / "brellis-test-daemon";
  fs::create_directories(daemon.parent_path());
  fs::copy_file(BRELLIS_TEST_DAEMON, daemon);
  const std::string identifier = setup.signing == DaemonSigning::otherIdentifier
                                     ? "com.velkor.tarvo.other"
                                     : "com.velkor.tarvo.daemon";
  if (runClient(BRELLIS_CODESIGN, {"make-ca", ca.string()}).status != 0 ||
      runClient(BRELLIS_CODESIGN, {"install-anchor", ca.string(), root().string()}).status != 0 ||
      (setup.signing != DaemonSigning::none &&
       runClient(BRELLIS_CODESIGN, {"sign", ca.string(), daemon.string(), identifier, "2.1"})
               .status != 0)) {
    *why = "signing the test daemon";
    return false;
  }
  if (setup.signing == DaemonSigning::tampered) {
    // One byte more after the signed bytes: the program still runs, its signature no longer fits.
    std::ofstream(daemon, std::ios::binary | std::ios::app) << '\0';
  }
  auto secret = writeFile("shared-secret", std::string(32, '\x5a'));
  daemonCommand_ = {daemon.string(), "--shared-secret", secret.string()};
  daemonCommand_.insert(daemonCommand_.end(), setup.arguments.begin(), setup.arguments.end());
  if (!startDaemon()) {
    *why = "the test daemon did not start";
    return false;
  }
  const fs::path events = root() / "phone-events";
  if (spawn({BRELLIS_PHONE, "--identifier", kPhoneIdentifier, "--salt", kSaltHex, "--container",
             kContainerUUID, "--shared-secret", secret.string(), "--key",
             std::string(kCertID) + "=" + (root() / "phone-key.pem").string(), "--pin", kPin,
             "--start-now", "--events", events.string()},
            root() / "phone.log") <= 0 ||
      !waitUntil(
          [&] {
            for (const auto& line : phoneEvents()) {
              if (line.rfind("advertising", 0) == 0) return true;
            }
            return false;
          },
          std::chrono::seconds(10))) {
    *why = "the phone did not start: " + readFile(root() / "phone.log");
    return false;
  }
  return true;
}

bool PhoneFixture::startDaemon() {
  const fs::path ready = root() / "test_daemon" / "ready";
  fs::remove(ready);
  daemon_ = spawn(daemonCommand_, root() / "daemon.log");
  return daemon_ > 0 && waitUntil([&] { return fs::exists(ready); }, std::chrono::seconds(10));
}

void PhoneFixture::killDaemon() {
  if (daemon_ <= 0) return;
  ::kill(daemon_, SIGKILL);
  ::waitpid(daemon_, nullptr, 0);
  std::erase(children_, daemon_);
  daemon_ = -1;
}

bool PhoneFixture::restartDaemon() {
  killDaemon();
  return startDaemon();
}

std::vector<std::string> PhoneFixture::daemonCalls() const {
  std::ifstream file(root() / "test_daemon" / "calls.jsonl");
  std::vector<std::string> selectors;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    selectors.push_back(nlohmann::json::parse(line).at("selector").get<std::string>());
  }
  return selectors;
}

std::vector<std::string> PhoneFixture::phoneEvents() const {
  std::ifstream file(root() / "phone-events");
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  return lines;
}

size_t PhoneFixture::requestsSeen() const {
  size_t count = 0;
  for (const auto& line : phoneEvents()) {
    if (line.rfind("request ", 0) == 0) ++count;
  }
  return count;
}

}  // namespace brellis::testing
