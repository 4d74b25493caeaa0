#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include "testing/pkcs11_client/pkcs11_client_fixture.h"
#include "testing/support/occurrences.h"

namespace brellis::testing {
namespace {

using platform::crypto_token_kit::test_support::makeTestCertificate;
using platform::crypto_token_kit::test_support::TestKeyKind;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Pkcs11ToolTest, ListsTheSlotTheObjectsAndTheMechanisms) {
  auto certificate = makeTestCertificate(TestKeyKind::p256, "Brellis Tool");
  Pkcs11ClientFixture fixture(certificate, {});
  auto slots = fixture.pkcs11Tool({"-L"});
  ASSERT_EQ(slots.status, 0) << slots.err;
  EXPECT_TRUE(contains(slots.out, "token label        : UnlockToken")) << slots.out;
  // RequirePIN is off: no client is asked for a PIN, whatever the keys' constraints say.
  EXPECT_FALSE(contains(slots.out, "login required")) << slots.out;
  EXPECT_FALSE(contains(slots.out, "PIN pad present")) << slots.out;

  auto objects = fixture.pkcs11Tool({"-O"});
  ASSERT_EQ(objects.status, 0) << objects.err;
  EXPECT_TRUE(contains(objects.out, "Private Key Object; EC")) << objects.out;
  EXPECT_TRUE(contains(objects.out, "Public Key Object; EC  EC_POINT 256 bits")) << objects.out;
  EXPECT_TRUE(contains(objects.out, "Certificate Object; type = X.509 cert")) << objects.out;
  EXPECT_EQ(occurrences(objects.out, "ID:         5fc100"), 3u) << objects.out;
  EXPECT_EQ(occurrences(objects.out, "label:      Unlock-Key"), 3u) << objects.out;
  EXPECT_FALSE(contains(objects.out, "always authenticate")) << objects.out;

  // The certificate read through the module is the installed one.
  auto path = fixture.root() / "read.der";
  auto read = fixture.pkcs11Tool(
      {"--read-object", "--type", "cert", "--id", "5fc100", "--output-file", path.string()});
  ASSERT_EQ(read.status, 0) << read.err;
  const std::string installed(certificate.der.begin(), certificate.der.end());
  EXPECT_EQ(fixture.readFile(path), installed);

  auto mechanisms = fixture.pkcs11Tool({"-M"});
  ASSERT_EQ(mechanisms.status, 0) << mechanisms.err;
  EXPECT_TRUE(contains(mechanisms.out, "ECDSA-SHA256, keySize={256,256}, hw, sign"))
      << mechanisms.out;
  EXPECT_TRUE(contains(mechanisms.out, "ECDH1-DERIVE, keySize={256,256}, hw, derive"))
      << mechanisms.out;
  EXPECT_FALSE(contains(mechanisms.out, "ECDSA, ")) << mechanisms.out;  // raw: not for this token
  EXPECT_FALSE(contains(mechanisms.out, "RSA")) << mechanisms.out;

  fixture.removeToken();
  auto gone = fixture.pkcs11Tool({"-L"});
  EXPECT_FALSE(contains(gone.out, "UnlockToken")) << gone.out;
}

TEST(Pkcs11ToolTest, WithThePinRequiredTheTokenAsksForALoginAndTheKeyForEveryUse) {
  // No constraint asks for a PIN on every use, but the token requires one.
  Pkcs11ClientFixture fixture(makeTestCertificate(TestKeyKind::p256),
                              {.requirePIN = true, .pinConstraints = false});
  auto slots = fixture.pkcs11Tool({"-L"});
  EXPECT_TRUE(contains(slots.out, "login required")) << slots.out;
  // The private key is a private object: listed after a login only.
  auto objects = fixture.pkcs11Tool({"-O"});
  EXPECT_FALSE(contains(objects.out, "Private Key Object")) << objects.out;
  EXPECT_TRUE(contains(objects.out, "Public Key Object")) << objects.out;
  auto loggedIn = fixture.pkcs11Tool({"-O", "--login", "--pin", "1234"});
  EXPECT_TRUE(contains(loggedIn.out, "Access:     always authenticate")) << loggedIn.out;

  // Without a PIN pkcs11-tool asks the terminal for one, finds none and stops.
  auto message = fixture.writeFile("message", "to be signed");
  auto sign = fixture.pkcs11Tool({"--sign", "-m", "ECDSA-SHA256", "--id", "5fc100", "--input-file",
                                  message.string(), "--output-file",
                                  (fixture.root() / "signature").string()});
  EXPECT_NE(sign.status, 0);
}

TEST(Pkcs11ToolTest, GnutlsListsThePublicObjectsWithoutAPin) {
  // p11-kit's initialisation flags are accepted, and a token that requires a login shows its
  // certificate and public key before one.
  const std::vector<std::string> list{"--provider", Pkcs11ClientFixture::modulePath(),
                                      "--list-all"};
  {
    Pkcs11ClientFixture fixture(makeTestCertificate(TestKeyKind::p256), {.requirePIN = true});
    auto run = runClient("p11tool", list);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "type=cert")) << run.out;
    EXPECT_TRUE(contains(run.out, "type=public")) << run.out;
    EXPECT_FALSE(contains(run.out, "type=private")) << run.out;
    EXPECT_FALSE(contains(run.err, "Thread locking error")) << run.err;
  }
  Pkcs11ClientFixture fixture(makeTestCertificate(TestKeyKind::p256), {});
  auto run = runClient("p11tool", list);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "type=private")) << run.out;
}

TEST(Pkcs11ToolTest, InitializesWithTheFlagsP11KitPasses) {
  void* library = dlopen(Pkcs11ClientFixture::modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto getFunctionList =
      reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
  ASSERT_NE(getFunctionList, nullptr);
  CK_FUNCTION_LIST_PTR p11 = nullptr;
  ASSERT_EQ(getFunctionList(&p11), CKR_OK);
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS;
  EXPECT_EQ(p11->C_Initialize(&args), CKR_OK);
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  dlclose(library);  // the module stays mapped (-z nodelete)
}

TEST(Pkcs11ToolTest, TheModuleLogsOnTheClientsStandardErrorOnlyWhenAsked) {
  Pkcs11ClientFixture fixture(makeTestCertificate(TestKeyKind::p256), {});
  const std::vector<std::string> arguments{"--module", Pkcs11ClientFixture::modulePath(), "-O"};
  // Without journald (or with it) the info lines of the module and the plug-in stay off.
  auto quiet = runClient("pkcs11-tool", arguments);
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_FALSE(contains(quiet.err, "<info>")) << quiet.err;
  auto asked =
      runClient("pkcs11-tool", arguments, std::chrono::seconds(60), {"BRELLIS_LOG_STDERR=1"});
  ASSERT_EQ(asked.status, 0) << asked.err;
  EXPECT_TRUE(contains(asked.err, "<info> Loaded token plug-in")) << asked.err;
  EXPECT_TRUE(contains(asked.err, "<info> System entered TokenDriver")) << asked.err;
}

TEST(Pkcs11ToolTest, TestRunReportsNoError) {
  // Without a phone: what pkcs11-tool can test without a key operation.
  Pkcs11ClientFixture fixture(makeTestCertificate(TestKeyKind::p256), {});
  auto test = fixture.pkcs11Tool({"--test", "--login", "--pin", "1234"});
  EXPECT_NE(test.status, -1) << "killed or timed out";
  EXPECT_EQ(test.status, 0) << test.out << test.err;
  EXPECT_TRUE(contains(test.out, "RNG not available")) << test.out;
  EXPECT_TRUE(contains(test.out, "No errors")) << test.out;
  EXPECT_EQ(occurrences(test.out + test.err, "ERR:"), 0u) << test.out << test.err;
}

}  // namespace
}  // namespace brellis::testing
