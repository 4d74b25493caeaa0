// ECDSA P-256 signing through the PKCS#11 module (loaded with dlopen, as any client loads it),
// with the token plug-in, the test daemon and the simulated phone answering at once as separate
// processes, next to the operation's irreducible parts measured in the same run: the daemon
// round trip (the shared secret, fetched twice per operation: to seal the request and to open
// the answer), the signature itself, and the phone-link exchange. The parts together are the
// connectivity controller's request made directly in this process (daemon round trips, the
// link's session, invitation and frames, the phone's signature), without module, token service
// or plug-in; the link exchange is what remains of it after the daemon and the signature. The
// counter "ratio_vs_parts" is the module's time per signature over the parts' (target: <= 3);
// "sign_us" the module's time per signature (target: < 1000).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "connectivity/peer_defaults.h"
#include "daemon_client/tarvo_daemon_connection.h"
#include "persistent_token/connectivity_controller.h"
#include "platform/crypto_token_kit/pkcs11/service_token_backend.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/task.h"
#include "testing/pkcs11_client/phone_fixture.h"

namespace {

using brellis::platform::foundation::Bytes;
namespace ctk = brellis::platform::crypto_token_kit;

template <class F>
double secondsPerCall(int rounds, F&& call) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
}

double signatureSeconds(const Bytes& privateKeyDer, const Bytes& message) {
  const unsigned char* cursor = privateKeyDer.data();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(privateKeyDer.size()));
  unsigned char signature[128];
  double seconds = secondsPerCall(2000, [&] {
    size_t length = sizeof signature;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(md, signature, &length, message.data(), message.size());
    EVP_MD_CTX_free(md);
  });
  EVP_PKEY_free(key);
  return seconds;
}

double daemonRoundTripSeconds() {
  const std::string account = ::getpwuid(::geteuid())->pw_name;
  auto& connection = brellis::daemon_client::TarvoDaemonConnection::shared();
  auto fetch = [&] {
    brellis::platform::dispatch::blockOn(brellis::platform::dispatch::globalExecutor(),
                                         connection.sharedSecret(account));
  };
  fetch();  // connect outside the measurement
  return secondsPerCall(200, fetch);
}

double controllerSeconds(const Bytes& message) {
  auto containerPeer = brellis::connectivity::PeerDefaults::getPeer("ContainerPeer");
  auto driverPeer = brellis::connectivity::PeerDefaults::getPeer("DriverPeer");
  if (!containerPeer || !driverPeer) return 0;
  auto controller =
      brellis::persistent_token::ConnectivityController::create(*containerPeer, *driverPeer);
  bool failed = false;
  auto request = [&] {
    controller->requestAuthentication(
        brellis::connectivity_protocol::AuthenticationUsage::sign, message, 0x5FC100,
        std::string("1234"), std::nullopt,
        [&](brellis::connectivity_protocol::AuthenticationResult result) {
          if (!result) failed = true;
        });
  };
  request();
  const double seconds = secondsPerCall(100, request);
  return failed ? 0 : seconds;
}

// Signs as a client does on a token whose key asks for its PIN on every use: the user logs in
// once, and each C_SignInit is followed by the context-specific PIN.
void BM_Pkcs11Sign(benchmark::State& state) {
  auto certificate = ctk::test_support::makeTestCertificate(ctk::test_support::TestKeyKind::p256);
  brellis::testing::PhoneFixture fixture(certificate, {.requirePIN = true, .pinConstraints = true});
  std::string why;
  if (!fixture.start(&why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  void* library = ::dlopen(brellis::testing::Pkcs11ClientFixture::modulePath().c_str(), RTLD_NOW);
  auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(
      library ? ::dlsym(library, "C_GetFunctionList") : nullptr);
  CK_FUNCTION_LIST* p11 = nullptr;
  if (!getList || getList(&p11) != CKR_OK || p11->C_Initialize(nullptr) != CKR_OK) {
    state.SkipWithError("module");
    return;
  }
  CK_UTF8CHAR pin[] = "1234";
  const CK_ULONG pinLength = sizeof pin - 1;
  CK_SLOT_ID slot = 0;
  CK_ULONG count = 1;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl{CKA_CLASS, &keyClass, sizeof keyClass};
  CK_OBJECT_HANDLE key = 0;
  // The private key is found only once the user is logged in.
  if (p11->C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1 ||
      p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK ||
      p11->C_Login(session, CKU_USER, pin, pinLength) != CKR_OK ||
      p11->C_FindObjectsInit(session, &tmpl, 1) != CKR_OK ||
      p11->C_FindObjects(session, &key, 1, &count) != CKR_OK || count != 1 ||
      p11->C_FindObjectsFinal(session) != CKR_OK) {
    state.SkipWithError("no private key in a logged-in session");
    p11->C_Finalize(nullptr);
    return;
  }
  Bytes message(64, 'm');
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  bool failed = false;
  auto sign = [&] {
    CK_BYTE signature[64];
    CK_ULONG length = sizeof signature;
    if (p11->C_SignInit(session, &mechanism, key) != CKR_OK ||
        p11->C_Login(session, CKU_CONTEXT_SPECIFIC, pin, pinLength) != CKR_OK ||
        p11->C_Sign(session, message.data(), message.size(), signature, &length) != CKR_OK ||
        length != sizeof signature) {
      failed = true;
    }
  };
  sign();  // the first operation makes the token and its session
  const double signature = signatureSeconds(certificate.privateKeyDer, message);
  const double daemon = daemonRoundTripSeconds();
  const double controller = controllerSeconds(message);
  auto start = std::chrono::steady_clock::now();
  int64_t rounds = 0;
  for (auto _ : state) {
    sign();
    ++rounds;
  }
  const double module =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
      static_cast<double>(rounds);
  const double parts = controller;
  const double link = controller - 2 * daemon - signature;
  state.counters["sign_us"] = module * 1e6;
  state.counters["daemon_round_trip_us"] = daemon * 1e6;
  state.counters["signature_us"] = signature * 1e6;
  state.counters["link_exchange_us"] = link * 1e6;
  state.counters["ratio_vs_parts"] = parts > 0 ? module / parts : 0;
  std::printf(
      "ratio_vs_parts=%.2f sign_us=%.1f parts_us=%.1f daemon_round_trip_us=%.1f "
      "link_exchange_us=%.1f signature_us=%.1f%s\n",
      parts > 0 ? module / parts : 0, module * 1e6, parts * 1e6, daemon * 1e6, link * 1e6,
      signature * 1e6, failed || parts <= 0 ? " (a signature failed)" : "");
  if (failed || parts <= 0) state.SkipWithError("a signature failed");
  p11->C_Finalize(nullptr);
}
BENCHMARK(BM_Pkcs11Sign)->UseRealTime()->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
  // The module is loaded into this process: its environment names the plug-in and the state
  // root, set here before any thread starts.
  brellis::testing::makeProcessStateRoot();
  ::setenv(brellis::platform::crypto_token_kit::pkcs11::kManifestEnvironmentVariable,
           brellis::testing::Pkcs11ClientFixture::manifestPath().c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::fflush(nullptr);
  brellis::testing::removeProcessStateRoot();
  // The token service and the daemon connection live until the process ends.
  ::_exit(0);
}
