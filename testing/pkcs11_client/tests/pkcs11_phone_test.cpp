#include <fcntl.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "testing/pkcs11_client/phone_fixture.h"

namespace brellis::testing {
namespace {

namespace fs = std::filesystem;
using platform::crypto_token_kit::test_support::makeTestCertificate;
using platform::crypto_token_kit::test_support::TestKeyKind;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> withPin(std::vector<std::string> arguments) {
  arguments.insert(arguments.end(), {"--login", "--pin", PhoneFixture::kPin});
  return arguments;
}

// The probe's "<step> <rv>" lines; a step seen twice keeps its last value.
std::multimap<std::string, CK_RV> probeSteps(const std::string& out) {
  std::multimap<std::string, CK_RV> steps;
  std::istringstream lines(out);
  std::string step;
  std::string rv;
  while (lines >> step >> rv) steps.emplace(step, std::stoul(rv, nullptr, 16));
  return steps;
}

std::vector<CK_RV> valuesOf(const std::multimap<std::string, CK_RV>& steps,
                            const std::string& step) {
  std::vector<CK_RV> values;
  for (auto [at, end] = steps.equal_range(step); at != end; ++at) values.push_back(at->second);
  return values;
}

class Pkcs11PhoneTest : public ::testing::Test {
 protected:
  void startParties(PhoneFixture& fixture) {
    std::string why;
    ASSERT_TRUE(fixture.start(&why)) << why;
  }
};

TEST_F(Pkcs11PhoneTest, EcdsaSignatureAndEcdhSecretMatchOpenssl) {
  // The token asks for no PIN: pkcs11-tool gives no context PIN to a derivation.
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::p256, "Brellis EC"), {});
  startParties(fixture);
  auto message = fixture.writeFile("message", "a message for the phone to sign");
  auto signature = fixture.root() / "signature";
  auto sign = fixture.pkcs11Tool(
      withPin({"--sign", "-m", "ECDSA-SHA256", "--signature-format", "openssl", "--id", "5fc100",
               "--input-file", message.string(), "--output-file", signature.string()}));
  ASSERT_EQ(sign.status, 0) << sign.err;
  EXPECT_TRUE(openssl({"dgst", "-sha256", "-verify", fixture.publicKeyPEM().string(), "-signature",
                       signature.string(), message.string()}));

  // Raw ECDSA over a digest openssl computed: the token signs whole messages only (its phone
  // hashes them), so the module refuses the mechanism and nothing reaches the phone.
  const size_t requestsBefore = fixture.requestsSeen();
  auto digest = fixture.root() / "digest";
  ASSERT_TRUE(openssl({"dgst", "-sha256", "-binary", "-out", digest.string(), message.string()}));
  auto raw = fixture.pkcs11Tool(
      withPin({"--sign", "-m", "ECDSA", "--id", "5fc100", "--input-file", digest.string(),
               "--output-file", (fixture.root() / "raw-signature").string()}));
  EXPECT_NE(raw.status, 0);
  EXPECT_TRUE(contains(raw.err, "CKR_MECHANISM_INVALID")) << raw.err;
  EXPECT_EQ(fixture.requestsSeen(), requestsBefore);

  // The other party: a key of openssl's, handed over as a DER public key.
  auto peer = fixture.root() / "peer.pem";
  auto peerPublic = fixture.root() / "peer-public.der";
  ASSERT_TRUE(openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                       peer.string()}));
  ASSERT_TRUE(openssl(
      {"pkey", "-in", peer.string(), "-pubout", "-outform", "DER", "-out", peerPublic.string()}));
  auto secret = fixture.root() / "secret";
  auto derive = fixture.pkcs11Tool(
      withPin({"--derive", "-m", "ECDH1-DERIVE", "--id", "5fc100", "--input-file",
               peerPublic.string(), "--output-file", secret.string()}));
  ASSERT_EQ(derive.status, 0) << derive.err;
  auto expected = fixture.root() / "expected";
  ASSERT_TRUE(openssl({"pkeyutl", "-derive", "-inkey", peer.string(), "-peerkey",
                       fixture.publicKeyPEM().string(), "-out", expected.string()}));
  EXPECT_EQ(fixture.readFile(secret), fixture.readFile(expected));
  EXPECT_EQ(fixture.readFile(secret).size(), 32u);
}

TEST_F(Pkcs11PhoneTest, RsaSignatureAndDecryptionMatchOpenssl) {
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::rsa2048, "Brellis RSA"), {});
  startParties(fixture);
  auto message = fixture.writeFile("message", "a message for an RSA signature");
  auto signature = fixture.root() / "signature";
  auto sign = fixture.pkcs11Tool(
      withPin({"--sign", "-m", "SHA256-RSA-PKCS", "--id", "5fc100", "--input-file",
               message.string(), "--output-file", signature.string()}));
  ASSERT_EQ(sign.status, 0) << sign.err;
  EXPECT_TRUE(openssl({"dgst", "-sha256", "-verify", fixture.publicKeyPEM().string(), "-signature",
                       signature.string(), message.string()}));

  auto plain = fixture.writeFile("plain", "the secret plaintext");
  auto cipher = fixture.root() / "cipher";
  ASSERT_TRUE(openssl({"pkeyutl", "-encrypt", "-pubin", "-inkey", fixture.publicKeyPEM().string(),
                       "-pkeyopt", "rsa_padding_mode:pkcs1", "-in", plain.string(), "-out",
                       cipher.string()}));
  auto decrypted = fixture.root() / "decrypted";
  auto decrypt =
      fixture.pkcs11Tool(withPin({"--decrypt", "-m", "RSA-PKCS", "--id", "5fc100", "--input-file",
                                  cipher.string(), "--output-file", decrypted.string()}));
  ASSERT_EQ(decrypt.status, 0) << decrypt.err;
  EXPECT_EQ(fixture.readFile(decrypted), "the secret plaintext");

  // pkcs11-tool's own test run, with signatures and decryption through the phone: no error.
  auto test = fixture.pkcs11Tool(withPin({"--test"}));
  EXPECT_EQ(test.status, 0) << test.out << test.err;
  EXPECT_TRUE(contains(test.out, "No errors")) << test.out << test.err;
  EXPECT_FALSE(contains(test.out + test.err, "ERR:")) << test.out << test.err;
}

TEST_F(Pkcs11PhoneTest, PinCycleThroughPkcs11Tool) {
  // The key items ask for no PIN of their own: the token's PIN rule decides.
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::p256),
                       {.requirePIN = true, .pinConstraints = false});
  startParties(fixture);
  auto message = fixture.writeFile("message", "PIN cycle");
  const std::vector<std::string> sign{"--sign",
                                      "-m",
                                      "ECDSA-SHA256",
                                      "--id",
                                      "5fc100",
                                      "--input-file",
                                      message.string(),
                                      "--output-file",
                                      (fixture.root() / "signature").string()};
  // The token requires a login: without --pin pkcs11-tool asks the terminal and stops.
  auto none = fixture.pkcs11Tool(sign);
  EXPECT_NE(none.status, 0);
  EXPECT_EQ(fixture.requestsSeen(), 0u);

  auto right = fixture.pkcs11Tool(withPin(sign));
  EXPECT_EQ(right.status, 0) << right.err;
  EXPECT_EQ(fixture.requestsSeen(), 1u);

  // A refused PIN is not sent again: pkcs11-tool's second, multi-part attempt finds the user
  // logged out and the private key with the login gone.
  auto wrongArguments = sign;
  wrongArguments.insert(wrongArguments.end(), {"--login", "--pin", "0000"});
  auto wrong = fixture.pkcs11Tool(wrongArguments);
  EXPECT_NE(wrong.status, 0);
  EXPECT_TRUE(contains(wrong.err, "CKR_KEY_HANDLE_INVALID")) << wrong.err;
  EXPECT_EQ(fixture.requestsSeen(), 2u);

  // With the key asking for its PIN on every use (as installed by the main program),
  // pkcs11-tool gives the PIN to each attempt, and the phone's answer is what it reports; without
  // --pin it asks the terminal for that PIN itself and gives up, so nothing reaches the phone.
  fixture.installToken(true);
  auto noPin = fixture.pkcs11Tool(sign);
  EXPECT_NE(noPin.status, 0);
  EXPECT_EQ(fixture.requestsSeen(), 2u);
  auto refused = fixture.pkcs11Tool(wrongArguments);
  EXPECT_NE(refused.status, 0);
  EXPECT_EQ(fixture.requestsSeen(), 3u);
  auto accepted = fixture.pkcs11Tool(withPin(sign));
  EXPECT_EQ(accepted.status, 0) << accepted.err;
}

TEST_F(Pkcs11PhoneTest, AChildForkedAfterItsParentSignedSignsWithItsOwnModule) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a child that starts threads after a multi-threaded fork";
#endif
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::rsa2048, "Brellis Fork"), {});
  startParties(fixture);
  const auto parent = fixture.root() / "parent-signature";
  const auto child = fixture.root() / "child-signature";
  auto message = fixture.writeFile("message", "a message the probe has signed");
  auto run = runClient(BRELLIS_PKCS11_PROBE, {Pkcs11ClientFixture::modulePath(), "fork-sign",
                                              parent.string(), child.string()});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto steps = probeSteps(run.out);
  for (const char* step : {"initialize", "parent-sign", "child-initialize", "child-sign",
                           "child-finalize", "parent-sign-again", "finalize"}) {
    EXPECT_EQ(valuesOf(steps, step), std::vector<CK_RV>{CKR_OK}) << step << "\n" << run.err;
  }
  for (const auto& signature : {parent, child}) {
    EXPECT_TRUE(openssl({"dgst", "-sha256", "-verify", fixture.publicKeyPEM().string(),
                         "-signature", signature.string(), message.string()}))
        << signature;
  }
  EXPECT_EQ(fixture.requestsSeen(), 3u);
}

TEST_F(Pkcs11PhoneTest, AContextPinBelongsToTheOperationItWasGivenFor) {
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::rsa2048, "Brellis Context"),
                       {.requirePIN = true, .pinConstraints = true});
  startParties(fixture);
  auto run = runClient(BRELLIS_PKCS11_PROBE, {Pkcs11ClientFixture::modulePath(), "context-pin"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto steps = probeSteps(run.out);
  const std::vector<std::pair<std::string, CK_RV>> expected{
      {"login-without-operation", CKR_OPERATION_NOT_INITIALIZED},
      {"sign-after-login-without-operation", CKR_USER_NOT_LOGGED_IN},
      {"sign-bad-arguments", CKR_ARGUMENTS_BAD},
      {"sign-after-ended-operation", CKR_USER_NOT_LOGGED_IN},
      {"decrypt-init", CKR_OK},
      {"decrypt-with-the-sign-pin", CKR_USER_NOT_LOGGED_IN},
  };
  for (const auto& [step, rv] : expected) {
    EXPECT_EQ(valuesOf(steps, step), std::vector<CK_RV>{rv}) << step << "\n" << run.err;
  }
  EXPECT_EQ(valuesOf(steps, "login-for-sign"), (std::vector<CK_RV>{CKR_OK, CKR_OK}));
  // Only the signature the PIN was given for reached the phone, and it was accepted there.
  EXPECT_EQ(valuesOf(steps, "sign-with-its-pin"), std::vector<CK_RV>{CKR_OK}) << run.err;
  EXPECT_EQ(fixture.requestsSeen(), 1u);
}

TEST_F(Pkcs11PhoneTest, WithoutThePinRequiredPkcs11ToolSignsWithoutOne) {
  // The installed key's constraints ask for a PIN on every use; RequirePIN is off.
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::p256), {});
  startParties(fixture);
  auto message = fixture.writeFile("message", "no PIN asked");
  auto signature = fixture.root() / "signature";
  auto sign = fixture.pkcs11Tool({"--sign", "-m", "ECDSA-SHA256", "--signature-format", "openssl",
                                  "--id", "5fc100", "--input-file", message.string(),
                                  "--output-file", signature.string()});
  ASSERT_EQ(sign.status, 0) << sign.err;
  EXPECT_TRUE(openssl({"dgst", "-sha256", "-verify", fixture.publicKeyPEM().string(), "-signature",
                       signature.string(), message.string()}));
}

TEST_F(Pkcs11PhoneTest, GnutlsSignsWithTheLoginPin) {
  // RSA: GnuTLS signs EC keys with raw ECDSA over a digest, which this token refuses (its phone
  // hashes the message itself).
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::rsa2048), {.requirePIN = true});
  startParties(fixture);
  const std::string url = "pkcs11:token=UnlockToken;object=Unlock-Key;type=private";
  auto test = runClient(
      "p11tool", {"--provider", PhoneFixture::modulePath(), "--login", "--test-sign", url},
      std::chrono::seconds(60), {std::string("GNUTLS_PIN=") + PhoneFixture::kPin});
  EXPECT_EQ(test.status, 0) << test.out << test.err;
  EXPECT_TRUE(contains(test.out + test.err, "Verifying against public key in the token... ok"))
      << test.out << test.err;
  EXPECT_EQ(fixture.requestsSeen(), 1u);
}

TEST_F(Pkcs11PhoneTest, SignsThroughP11KitServerAndItsClientModule) {
  PhoneFixture fixture(makeTestCertificate(TestKeyKind::rsa2048, "Brellis Remote"), {});
  startParties(fixture);
  const fs::path runtime = fixture.root() / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const std::string runtimeEntry = "XDG_RUNTIME_DIR=" + runtime.string();

  // The module in its own process, hosted by p11-kit's server. Everything the child needs is made
  // before the fork: between fork and exec it makes only async-signal-safe calls.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  std::vector<std::string> environment = clientEnvironment({runtimeEntry});
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string module = Pkcs11ClientFixture::modulePath();
  pid_t server = ::fork();
  if (server == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    const char* argv[] = {"p11-kit",      "server",  "-f",   "--provider",
                          module.c_str(), "pkcs11:", nullptr};
    ::execvpe("p11-kit", const_cast<char**>(argv), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string printed;
  std::string address;
  while (address.empty()) {
    pollfd ready{pipeFds[0], POLLIN, 0};
    if (::poll(&ready, 1, 10000) <= 0) break;
    char buffer[512];
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    printed.append(buffer, static_cast<size_t>(n));
    auto at = printed.find("P11_KIT_SERVER_ADDRESS=");
    auto end = at == std::string::npos ? at : printed.find(';', at);
    if (end != std::string::npos) {
      address = printed.substr(at + 23, end - at - 23);
    }
  }
  ASSERT_FALSE(address.empty()) << printed;

  auto message = fixture.writeFile("message", "signed across p11-kit");
  auto signature = fixture.root() / "signature";
  auto sign = runClient(
      "pkcs11-tool",
      withPin({"--module", BRELLIS_P11KIT_CLIENT, "--sign", "-m", "SHA256-RSA-PKCS", "--id",
               "5fc100", "--input-file", message.string(), "--output-file", signature.string()}),
      std::chrono::seconds(60), {runtimeEntry, "P11_KIT_SERVER_ADDRESS=" + address});
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  ::close(pipeFds[0]);
  ASSERT_EQ(sign.status, 0) << sign.err;
  EXPECT_TRUE(openssl({"dgst", "-sha256", "-verify", fixture.publicKeyPEM().string(), "-signature",
                       signature.string(), message.string()}));
}

}  // namespace
}  // namespace brellis::testing
